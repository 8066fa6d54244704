"""Writes small BUFR table directories for tests, and reads the real ones
independently of korvane (plain Python, for cross-checks)."""

from __future__ import annotations

import csv
from pathlib import Path

ELEMENTS = (
    "#code|abbreviation|type|name|unit|scale|reference|width|crex_unit|crex_scale|crex_width\n"
    "001001|blockNumber|long|WMO BLOCK NUMBER|Numeric|0|0|7|Numeric|0|2\n"
    "001002|stationNumber|long|WMO STATION NUMBER|Numeric|0|0|10|Numeric|0|3\n"
    "001003|regionNumber|table|WMO REGION NUMBER|CODE TABLE|0|0|3|CODE TABLE|0|1\n"
    "012001|temperature|double|TEMPERATURE|K|1|0|12|C|1|3\n"
)
SEQUENCES = '"301001" = [  001001, 001002 ]\n'


def write(path: Path, content: str | bytes) -> Path:
    path.parent.mkdir(parents=True, exist_ok=True)
    if isinstance(content, str):
        path.write_text(content, encoding="utf-8", newline="")
    else:
        path.write_bytes(content)
    return path


def table_dir(
    root: Path,
    element: str | bytes | None = ELEMENTS,
    sequence: str | bytes | None = SEQUENCES,
    codetables: dict[str, str | bytes] | None = None,
) -> Path:
    """A table directory under `root`; None leaves a file out."""
    root.mkdir(parents=True, exist_ok=True)
    if element is not None:
        write(root / "element.table", element)
    if sequence is not None:
        write(root / "sequence.def", sequence)
    if codetables is not None:
        (root / "codetables").mkdir(exist_ok=True)
        for name, content in codetables.items():
            write(root / "codetables" / name, content)
    return root


# ---- independent readings of real table files --------------------------------


def read_element_table(path: Path) -> dict[int, list[str]]:
    """code -> the eleven columns, the later line winning. The ecCodes element
    tables quote nothing, so a plain split is the whole format there."""
    out: dict[int, list[str]] = {}
    for line in path.read_text(encoding="utf-8").splitlines():
        if not line or line.startswith("#"):
            continue
        cols = line.split("|")
        assert '"' not in cols[0]
        out[int(cols[0])] = cols
    return out


def read_sequence_def(path: Path) -> dict[int, list[int]]:
    """code -> members, from the text as a whole: entries are CODE = [ ... ]."""
    text = "\n".join(
        line for line in path.read_text(encoding="utf-8").splitlines() if not line.strip().startswith("#")
    )
    out: dict[int, list[int]] = {}
    for chunk in text.split("]")[:-1]:
        head, _, members = chunk.partition("[")
        code = head.split("=")[0].strip().strip('"')
        out[int(code)] = [int(m.strip().strip('"')) for m in members.split(",") if m.strip()]
    return out


def read_code_table(path: Path) -> dict[int, str]:
    out: dict[int, str] = {}
    for line in path.read_text(encoding="utf-8").splitlines():
        parts = line.split()
        if len(parts) >= 3 and not parts[0].startswith("#"):
            out[int(parts[0])] = " ".join(parts[2:])
    return out


def read_wmo_csv(directory: Path) -> tuple[dict[int, list[str]], dict[int, list[int]]]:
    """Table B rows by code and Table D member lists, with the csv module."""
    elements: dict[int, list[str]] = {}
    for path in sorted(directory.glob("BUFRCREX_TableB_en_*.csv")):
        with path.open(encoding="utf-8", newline="") as f:
            rows = list(csv.reader(f))
        for row in rows[1:]:
            if len(row) >= 8:
                elements[int(row[2])] = row
    sequences: dict[int, list[int]] = {}
    for path in sorted(directory.glob("BUFR_TableD_en_*.csv")):
        with path.open(encoding="utf-8", newline="") as f:
            rows = list(csv.reader(f))
        local: dict[int, list[int]] = {}
        for row in rows[1:]:
            if len(row) >= 6:
                local.setdefault(int(row[2]), []).append(int(row[5]))
        sequences.update(local)
    return elements, sequences
