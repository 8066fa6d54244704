"""Small Table B / Table D sets for the data-section tests, and a decode helper.

Elements are written as (code, name, unit, scale, reference, width) and become
an ecCodes-style element.table in a temporary directory, loaded with
TableSet.from_eccodes; messages come from bufr_builder.
"""

from __future__ import annotations

from pathlib import Path

from korvane import _korvane
from bufr_builder import Bits, build

# The elements most tests use.
ELEMENTS = [
    (1001, "WMO BLOCK NUMBER", "Numeric", 0, 0, 7),
    (1002, "WMO STATION NUMBER", "Numeric", 0, 0, 10),
    (1003, "WMO REGION NUMBER", "CODE TABLE", 0, 0, 3),
    (1015, "STATION OR SITE NAME", "CCITT IA5", 0, 0, 160),
    (1019, "LONG STATION NAME", "CCITT IA5", 0, 0, 32),
    (2001, "TYPE OF STATION", "Code table", 0, 0, 2),
    (2002, "TYPE OF INSTRUMENTATION", "FLAG TABLE", 0, 0, 4),
    (2003, "TYPE OF MEASURING EQUIPMENT", "Common CODE TABLE C-1", 0, 0, 4),
    (4001, "YEAR", "a", 0, 0, 12),
    (5001, "LATITUDE", "deg", 5, -9000000, 25),
    (8090, "DECIMAL SCALE", "Numeric", 0, -127, 8),
    (10004, "PRESSURE", "Pa", -1, 0, 14),
    (12001, "TEMPERATURE", "K", 1, -100, 12),
    (12101, "TEMPERATURE", "K", 2, 0, 16),
    (31000, "SHORT DELAYED REPLICATION FACTOR", "Numeric", 0, 0, 1),
    (31001, "DELAYED REPLICATION FACTOR", "Numeric", 0, 0, 8),
    (31002, "EXTENDED DELAYED REPLICATION FACTOR", "Numeric", 0, 0, 16),
    (31021, "ASSOCIATED FIELD SIGNIFICANCE", "CODE TABLE", 0, 0, 6),
    (31031, "DATA PRESENT INDICATOR", "FLAG TABLE", 0, 0, 1),
    (33007, "PER CENT CONFIDENCE", "%", 0, 0, 7),
    (63064, "WIDE", "Numeric", 0, 0, 64),
]

CODE_TABLES = {
    1003: {0: "ANTARCTICA", 1: "REGION I", 7: "MISSING VALUE"},
    2001: {0: "AUTOMATIC STATION", 1: "MANNED STATION", 3: "MISSING VALUE"},
    31031: {1: "DATA NOT PRESENT"},
}


def element_table(elements) -> str:
    lines = ["#code|abbreviation|type|name|unit|scale|reference|width|crex_unit|crex_scale|crex_width"]
    for code, name, unit, scale, reference, width in elements:
        abbr = "".join(w.capitalize() for w in name.split()) or "x"
        lines.append(f"{code:06d}|{abbr}|long|{name}|{unit}|{scale}|{reference}|{width}|{unit}|{scale}|3")
    return "\n".join(lines) + "\n"


def make_tables(
    root: Path,
    elements=ELEMENTS,
    sequences: dict[int, list[int]] | None = None,
    code_tables: dict[int, dict[int, str]] | None = None,
) -> _korvane.TableSet:
    root.mkdir(parents=True, exist_ok=True)
    (root / "element.table").write_text(element_table(elements), encoding="utf-8")
    seq = "".join(
        f'"{code:06d}" = [ ' + ", ".join(f"{m:06d}" for m in members) + " ]\n"
        for code, members in (sequences or {}).items()
    )
    (root / "sequence.def").write_text(seq, encoding="utf-8")
    tables = CODE_TABLES if code_tables is None else code_tables
    if tables:
        (root / "codetables").mkdir(exist_ok=True)
        for code, entries in tables.items():
            text = "".join(f"{k} {k} {v}\n" for k, v in entries.items())
            (root / "codetables" / f"{code}.table").write_text(text, encoding="utf-8")
    return _korvane.TableSet.from_eccodes(str(root))


def decode(tables, descriptors, data: Bits | bytes, subsets: int = 1, compressed: bool = False):
    msg = build(descriptors=descriptors, data=data, subsets=subsets, compressed=compressed)
    return _korvane.decode_values_with_tables(msg, tables)


def shown(values) -> list:
    """Each value as (descriptor, data), the form most assertions compare."""
    return [(v.descriptor, v.data) for v in values]
