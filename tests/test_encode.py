"""korvane.encode from plain item values: the cases of data/encode_cases.json,
one per BUFR feature (texts, replication, every data operator, bitmaps,
compression), decode to their values in korvane and in ecCodes; the values
that do not fit are refused with errors naming the subset, item, descriptor
and value."""

from __future__ import annotations

import json
import math
from pathlib import Path

import numpy as np
import pytest

import korvane
from eccodes_peer import disagreement, eccodes_values
from korvane.reader import CHARACTER, INSERTED_TEXT

DATA = json.loads((Path(__file__).resolve().parent / "data" / "encode_cases.json").read_text())
CASES = [(case, compressed) for case in DATA["cases"] for compressed in case["compressed"]]
IDS = [f"{case['name']}, {'compressed' if c else 'uncompressed'}" for case, c in CASES]


def encode_case(case: dict, compressed: bool, definitions_root: Path) -> bytes:
    header = {**DATA["header"], **case.get("header", {})}
    return korvane.encode(case["descriptors"], case["subsets"], compressed=compressed,
                          references=case.get("references"), definitions=definitions_root, **header)


def decoded_as_given(v: korvane.Values, raw_items: list[int]) -> list[list]:
    """The items of each subset in the form the cases give them."""
    out = []
    for s in range(v.number_of_subsets):
        items = []
        for k, i in enumerate(range(v.subset_bounds[s], v.subset_bounds[s + 1])):
            if v.kind[i] in (CHARACTER, INSERTED_TEXT):
                items.append(v.text[i])
            elif k in raw_items:
                items.append(int(v.raw[i]))
            else:
                items.append(None if v.missing[i] else float(v.value[i]))
        out.append(items)
    return out


def same(a, b) -> bool:
    if isinstance(a, float) and isinstance(b, (int, float)):
        return math.isclose(a, b, rel_tol=1e-12, abs_tol=1e-12)
    return a == b


@pytest.fixture(scope="module")
def written(definitions_root, tmp_path_factory):
    """Every case written, and ecCodes' values of each."""
    folder = tmp_path_factory.mktemp("encode")
    paths = []
    for k, (case, compressed) in enumerate(CASES):
        path = folder / f"case{k}.bufr"
        path.write_bytes(encode_case(case, compressed, definitions_root))
        paths.append(path)
    asked = [p for p, (case, _) in zip(paths, CASES) if "eccodes" not in case]
    rows, numbers = eccodes_values(asked)
    return paths, [rows[str(p)][0] if str(p) in rows else None for p in paths], numbers


@pytest.mark.parametrize("k", range(len(CASES)), ids=IDS)
def test_values_read_back_in_korvane_and_in_ecCodes(k, written, definitions_root):
    case, compressed = CASES[k]
    paths, rows, numbers = written
    m = korvane.open(paths[k], definitions=definitions_root)[0]
    assert (m.compressed_data, m.edition, m.unexpanded_descriptors) == (
        compressed, case.get("header", {}).get("edition", 4), case["descriptors"])
    v = m.decode()
    got = decoded_as_given(v, case.get("raw", []))
    assert len(got) == len(case["subsets"])
    for mine, given in zip(got, case["subsets"]):
        assert len(mine) == len(given) and all(map(same, mine, given)), (mine, given)
    if "eccodes" not in case:
        assert disagreement(v, compressed, rows[k], numbers) is None
    # What korvane decodes is written again bit for bit.
    assert m.encode() == paths[k].read_bytes()


@pytest.mark.parametrize("case", DATA["errors"], ids=[e["error"][:60] for e in DATA["errors"]])
def test_values_that_do_not_fit_are_refused(case, definitions_root):
    with pytest.raises(ValueError) as e:
        korvane.encode(case["descriptors"], case["subsets"], compressed=case["compressed"],
                       definitions=definitions_root, **DATA["header"])
    assert str(e.value) == case["error"].format(definitions=definitions_root)


def test_uncompressed_and_compressed_data_differ_only_in_layout(definitions_root):
    # The same subsets written both ways decode to the same items, and the
    # compressed columns take the fewest increment bits: a column whose
    # values span 0 to 3 takes 3 bits (all ones is missing), and 100
    # subsets of one value take no increments.
    case = {"descriptors": [1001, 1002], "subsets": [[6, s % 4] for s in range(100)]}
    plain, packed = (encode_case(case, c, definitions_root) for c in (False, True))
    a, b = (korvane.open(x, definitions=definitions_root)[0].decode() for x in (plain, packed))
    assert np.array_equal(a.value, b.value) and np.array_equal(a.code, b.code)
    # 7 + 6 bits for 0 01 001, 10 + 6 + 100 * 3 for 0 01 002, in whole octets.
    assert korvane.open(packed)[0].header["section4_data_length"] == math.ceil((7 + 6 + 10 + 6 + 100 * 3) / 8)


@pytest.mark.parametrize("field, value, edition, error", [
    ("originating_centre", 70000, 4, "originating_centre 70000 is outside 0 to 65535"),
    ("originating_centre", 300, 3, "originating_centre 300 does not fit its octet in edition 3"),
    ("typical_year", 1850, 3, "typical_year 1850 cannot be written in edition 3, which holds the year of the century"),
    ("edition", 5, 5, "edition 5 cannot be written (editions 2 to 4 can)"),
])
def test_header_fields_that_do_not_fit_are_refused(field, value, edition, error, definitions_root):
    header = {**DATA["header"], "edition": edition, field: value}
    with pytest.raises(ValueError) as e:
        korvane.encode([1001], [[6]], definitions=definitions_root, **header)
    assert str(e.value) == error
