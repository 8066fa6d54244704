"""korvane.read_bufr on real files against pdbufr's tables of the same requests
(tests/data/pdbufr_cases.json, written by benchmarks/compare_pdbufr.py --save
with pdbufr 0.16 on Debian's ecCodes), and the warnings about keys absent from
every message read."""

from __future__ import annotations

import json
import math
import warnings
from pathlib import Path

import pytest

import korvane
from test_frames import filters_of, plain

pd = pytest.importorskip("pandas")

DATA = Path(__file__).parent / "data"
PDBUFR = json.loads((DATA / "pdbufr_cases.json").read_text())


def path_of(name: str, corpus_dir: Path) -> Path:
    """A case's file: ed3/ and ed4/ in the corpus, pdbufr/ beside this test."""
    return (DATA if name.startswith("pdbufr/") else corpus_dir) / name


def same(got, want) -> bool:
    if isinstance(got, list) and isinstance(want, list):
        return len(got) == len(want) and all(map(same, got, want))
    if isinstance(want, str):
        want = want.rstrip(" ")  # ecCodes keeps a text's padding
    if isinstance(got, float) and isinstance(want, (int, float)):
        return math.isclose(got, want, rel_tol=1e-12)
    return got == want


@pytest.mark.parametrize("name", sorted(PDBUFR))
def test_tables_equal_pdbufr(name, corpus_dir, definitions_root):
    """The same rows in the same order, the same values; a key pdbufr leaves
    out of a row is a missing value."""
    case = PDBUFR[name]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", korvane.AbsentKeyWarning)
        df = korvane.read_bufr(path_of(case["path"], corpus_dir), columns=case["columns"],
                               filters=filters_of(case["filters"]), required_columns=case["required_columns"],
                               definitions=definitions_root)
    expected = case["pdbufr"]
    assert len(df) == expected["rows"]
    for column in case["columns"]:
        got = [plain(v) for v in df[column]]
        want = expected["columns"].get(column, [None] * len(df))
        bad = next((i for i, (g, w) in enumerate(zip(got, want)) if not same(g, w)), None)
        assert bad is None, f"{column} row {bad}: korvane {got[bad]!r}, pdbufr {want[bad]!r}"


def test_a_key_no_message_holds_is_named_in_a_warning(corpus_dir):
    okpr = corpus_dir / "ed4" / "ISMD01_OKPR.bufr"
    with pytest.warns(korvane.AbsentKeyWarning) as caught:
        df = korvane.read_bufr(okpr, ["stationNumber", "airTemperatureAt2M"], required_columns=False)
    assert df["airTemperatureAt2M"].isna().all() and len(df) == 28
    [w] = caught
    assert (w.message.key, w.message.messages, w.message.needed_by) == ("airTemperatureAt2M", 4, None)
    assert "airTemperature" in w.message.near
    assert str(w.message).startswith("'airTemperatureAt2M' is not in any of the 4 messages read: its column is all "
                                     "missing (they hold 'airTemperature'")
    # A computed key names the key it lacks; a key of one message of many, nothing.
    with pytest.warns(korvane.AbsentKeyWarning, match="'wigosIdentifierSeries' .* 'WIGOS_station_id', made from it"):
        korvane.read_bufr(okpr, ["WIGOS_station_id"])
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        korvane.read_bufr([okpr, corpus_dir / "ed3" / "syno_1.bufr"], ["airTemperatureAt2M"])
        korvane.read_bufr(okpr, ["airTemperature"], filters={"dataCategory": 7})  # no message read
