"""The reader's value rules where they depart from the per-value module's,
each on a constructed message, with the expected values derived from the data."""

from __future__ import annotations

import json
from fractions import Fraction
from pathlib import Path

import pytest

import korvane
from korvane import _korvane
from bufr_builder import Bits, build
from datatables import make_tables

CASES = json.loads((Path(__file__).parent / "data" / "value_rules.json").read_text())


@pytest.fixture(scope="module")
def tables(tmp_path_factory):
    elements = [tuple(e) for e in CASES["elements"]]
    return make_tables(tmp_path_factory.mktemp("rules"), elements=elements, code_tables={})


def _message(case) -> bytes:
    bits = Bits()
    for value, width in case["data"]:
        if isinstance(value, str):
            bits.text(bytes.fromhex(value.removeprefix("hex:")), width)
        else:
            bits.uint(value, width)
    return build(descriptors=case["descriptors"], data=bits, subsets=case.get("subsets", 1),
                 compressed=case.get("compressed", False))


@pytest.mark.parametrize("case", CASES["cases"], ids=[c["name"] for c in CASES["cases"]])
def test_reader_rules(tables, case):
    want = case["reader"]
    v = korvane.open(_message(case), tables=tables)[0].decode()
    item = [i for i in range(len(v)) if v.code[i] == want["code"]][-1]
    element = tables.get_element(want["code"])
    if "text" in want:
        assert (v.text[item], v.text_bytes[item]) == (want["text"], bytes.fromhex(want["bytes"]))
    else:
        assert int(v.raw[item]) == want["raw"]
        if want["value"] is None:
            assert v.missing[item]
        elif want["value"] == "exact":
            exact = Fraction(want["raw"] + element.reference) * Fraction(10) ** -element.scale
            assert not v.missing[item] and v.value[item] == float(exact)
        else:
            assert v.value[item] == want["value"]
    objects = [o for o in _korvane.decode_values_with_tables(_message(case), tables) if o.descriptor == want["code"]]
    got, expected = objects[-1], case["per_value"]
    if "text" in expected:
        assert got.raw_text.rstrip() == expected["text"]
    elif expected["value"] == "divided":
        assert got.raw_value == (want["raw"] + element.reference) / (1.0 / 10 ** -element.scale)
        assert got.raw_value != v.value[item]  # the per-value module's division misses by an ulp
    else:
        assert got.raw_value == expected["value"]
