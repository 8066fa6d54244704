"""korvane.read_bufr / read_arrow / describe: the row rules, keys, filters, types
and extras, on synthetic messages (tests/data/frames_cases.json) written with
bufr_builder over the installed master table 0 version 13."""

from __future__ import annotations

import json
import math
import subprocess
import sys
import warnings
from pathlib import Path

import numpy as np
import pytest

import korvane
from korvane import _korvane
from bufr_builder import Bits, build

pd = pytest.importorskip("pandas")

CASES = json.loads((Path(__file__).parent / "data" / "frames_cases.json").read_text())
MESSAGES = CASES["messages"]


@pytest.fixture(scope="module")
def elements(definitions_root):
    """The element tables of a master version (13 unless a message names another)."""
    loaded = {}

    def of(version: int = 13):
        if version not in loaded:
            loaded[version] = _korvane.TableSet.from_eccodes(
                str(definitions_root / "bufr" / "tables" / "0" / "wmo" / str(version)))
        return loaded[version]

    return of


def encode(elements, descriptors, subsets, compressed=False, **header) -> bytes:
    """A message of the given items: per subset, (code, value) pairs in data
    order; compressed data codes each item position as one column."""
    bits = Bits()

    tables = elements(header.get("master_version", 13))

    def raw(code, value):
        e = tables.get_element(code)
        if e.element_type == "string":
            return e, b"\xff" * (e.width // 8) if value is None else value  # a missing text: all bits set
        if value is None:
            return e, (1 << e.width) - 1
        return e, round(value * 10**e.scale) - e.reference

    if not compressed:
        for items in subsets:
            for code, value in items:
                e, r = raw(code, value)
                bits.text(r, e.width) if e.element_type == "string" else bits.uint(r, e.width)
    else:
        for column in zip(*subsets):
            e, _ = raw(column[0][0], None)
            values = [raw(code, value)[1] for code, value in column]
            if e.element_type == "string":
                bits.uint(0, e.width).uint(e.width // 8, 6)
                for text in values:
                    bits.text(text, e.width)
                continue
            present = [r for r, (_, v) in zip(values, column) if v is not None]
            if len(set(values)) == 1:
                bits.uint(values[0], e.width).uint(0, 6)
                continue
            low = min(present) if present else 0
            width = max(max(present) - low + 1, 1).bit_length() if present else 1
            bits.uint(low, e.width).uint(width, 6)
            for r, (_, v) in zip(values, column):
                bits.uint((1 << width) - 1 if v is None else r - low, width)
    return build(descriptors=descriptors, data=bits, subsets=len(subsets), compressed=compressed, **header)


def same_layout(subsets) -> bool:
    return len({tuple(code for code, _ in s) for s in subsets}) == 1


def message(elements, name, compressed=False) -> bytes:
    m = MESSAGES[name]
    header = dict(m.get("header", {}))
    if "master_version" in m:
        header["master_version"] = m["master_version"]
    return encode(elements, m["descriptors"], m["subsets"], compressed, **header)


def filters_of(spec: dict) -> dict:
    def one(f):
        if isinstance(f, dict) and "slice" in f:
            return slice(*f["slice"])
        if isinstance(f, dict) and "set" in f:
            return set(f["set"])
        return f

    return {k: one(f) for k, f in spec.items()}


def plain(value):
    """A cell as the case file writes it: None for any missing value."""
    if value is None or value is pd.NA or value is pd.NaT:
        return None
    if isinstance(value, float) and np.isnan(value):
        return None
    if isinstance(value, list):
        return [plain(v) for v in value]
    if hasattr(value, "isoformat"):
        return value.isoformat()
    return value.item() if hasattr(value, "item") else value


def rows_of(df) -> list[list]:
    return [[plain(v) for v in row] for row in df.itertuples(index=False)]


READS = [
    pytest.param(read, compressed, id=f"{read['message']}-{'-'.join(read['columns'])}{'-compressed' if compressed else ''}"
                 + ("-" + "-".join(read["filters"]) if read.get("filters") else ""))
    for read in CASES["reads"]
    for compressed in (False, True)
    if not compressed or (same_layout(MESSAGES[read["message"]]["subsets"])
                          and MESSAGES[read["message"]].get("compressible", True))
]


@pytest.mark.filterwarnings("ignore::korvane.AbsentKeyWarning")
@pytest.mark.parametrize("read, compressed", READS)
def test_rows(elements, read, compressed):
    data = message(elements, read["message"], compressed)
    required = read.get("required_columns", False)
    df = korvane.read_bufr(data, columns=read["columns"], filters=filters_of(read.get("filters", {})),
                           required_columns=required)
    assert list(df.columns) == read["columns"]
    assert rows_of(df) == read["rows"]


def test_callable_filters_run_on_arrays_or_on_each_distinct_value(elements):
    data = message(elements, "sounding")
    seen = []

    def scalar_only(p):
        seen.append(p)
        return int(p) in (85000, 50000)  # int() of an array fails: korvane goes value by value

    df = korvane.read_bufr(data, columns=["pressure", "windSpeed"], filters={"pressure": scalar_only})
    assert rows_of(df) == [[85000, 5.0], [85000, 7.5], [50000, 20.0]]
    scalars = [p for p in seen if not isinstance(p, np.ndarray)]
    # Once per distinct value of the rows that have every required key (the
    # level of 70000 Pa has no wind, and is gone before filters run).
    assert sorted(scalars) == [50000, 85000] and all(type(p) is float for p in scalars)
    df = korvane.read_bufr(data, columns=["windSpeed"], filters={"windSpeed": lambda s: s > 6})
    assert rows_of(df) == [[7.5], [20.0]]


@pytest.mark.filterwarnings("ignore::korvane.AbsentKeyWarning")
@pytest.mark.parametrize("subsets", [[0, 1], [1]], ids=["values", "all-missing"])
@pytest.mark.parametrize("compressed", [False, True])
def test_dtypes_follow_the_elements_not_the_values(elements, subsets, compressed):
    case = CASES["dtypes"]
    columns = list(case["columns"])
    df = korvane.read_bufr(message(elements, case["message"], compressed), columns=columns,
                           filters={"subset": subsets}, required_columns=False)
    text = str(pd.Series(["x"]).dtype)
    assert {c: str(t) for c, t in df.dtypes.items()} == {c: text if t == "text" else t
                                                         for c, (t, _) in case["columns"].items()}
    assert df.attrs["units"] == {c: unit for c, (_, unit) in case["columns"].items()}


def test_flat_rows_name_every_item_by_rank_and_key(elements):
    data = message(elements, "repeats")
    df = korvane.read_bufr(data, flat=True)
    assert list(df.columns) == ["#1#stationNumber", "#1#verticalSignificanceSurfaceObservations", "#1#cloudType",
                                "#2#cloudType", "#3#cloudType", "#2#verticalSignificanceSurfaceObservations"]
    assert rows_of(df) == [[1, 5, 62, 61, 60, 7], [2, 1, 36, 30, 20, 2]]
    df = korvane.read_bufr(data, columns=["subset", "cloudType"], filters={"cloudType": 30}, flat=True)
    assert list(df.columns) == ["subset", "#1#cloudType", "#2#cloudType", "#3#cloudType"]
    assert rows_of(df) == [[1, 36, 30, 20]]


def test_sources_are_read_in_order(elements, tmp_path):
    one, two = tmp_path / "one.bufr", tmp_path / "two.bufr"
    one.write_bytes(message(elements, "stations") + message(elements, "sounding"))
    two.write_bytes(message(elements, "stations", compressed=True))
    df = korvane.read_bufr([one, str(two)], columns=["message_index", "subset", "stationNumber"])
    assert rows_of(df) == [[0, 0, 423], [0, 1, 487], [1, 0, 461], [2, 0, 423], [2, 1, 487]]


def test_header_filters_skip_messages_without_decoding_them(elements):
    good = message(elements, "stations")
    bad = encode(elements, [1002, 12101], [[[1002, 1]]], data_category=1)  # the temperature is cut off
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        df = korvane.read_bufr(bad + good, columns=["stationNumber"], filters={"data_category": 0})
    assert rows_of(df) == [[423], [487]]
    with pytest.warns(RuntimeWarning, match="message 0"):
        df = korvane.read_bufr(bad + good, columns=["stationNumber"])
    assert rows_of(df) == [[423], [487]]
    assert len(korvane.read_bufr(bad + good, columns=["stationNumber"], errors="skip")) == 2
    with pytest.raises(korvane.DecodeError):
        korvane.read_bufr(bad + good, columns=["stationNumber"], errors="raise")


@pytest.mark.parametrize("case", CASES["unknown"], ids=lambda c: "-".join(c["columns"] + list(c.get("filters", {}))))
def test_unknown_keys_raise_before_anything_is_read(case, tmp_path):
    missing = tmp_path / "absent.bufr"  # never opened: the names are checked first
    with pytest.raises(KeyError, match=case["match"]) as e:
        korvane.read_bufr(missing, columns=case["columns"], filters=case.get("filters"))
    assert str(e.value) == e.value.args[0]  # the text itself, not its repr


@pytest.mark.parametrize(
    "kwargs, error",
    [
        ({"columns": ["stationNumber", "stationNumber"]}, "a column is asked for twice"),
        ({"columns": [1002]}, TypeError),
        ({"columns": ["#0#cloudType"]}, "a rank counts from 1"),
        ({"columns": ["data_datetime", "subset"], "flat": True}, "no column of a flat table"),
        ({"columns": ["stationNumber"], "required_columns": ["cloudType"]}, "not among the columns"),
        ({"columns": ["stationNumber"], "required_columns": 3}, TypeError),
        ({"columns": ["stationNumber"], "errors": "ignore"}, "errors must be"),
    ],
)
def test_bad_requests(elements, kwargs, error):
    data = message(elements, "stations")
    with pytest.raises(error if isinstance(error, type) else ValueError, match=None if isinstance(error, type) else error):
        korvane.read_bufr(data, **kwargs)


def test_arrow_has_the_same_table(elements):
    pytest.importorskip("pyarrow")
    data = message(elements, "stations") + message(elements, "times")
    columns = ["stationNumber", "stationOrSiteName", "latitude", "pressure", "data_datetime"]
    table = korvane.read_arrow(data, columns=columns, required_columns=False)
    df = korvane.read_bufr(data, columns=columns, required_columns=False)
    assert table.column_names == columns
    assert [str(t) for t in table.schema.types] == ["int64", "string", "double", "double", "timestamp[us]"]
    assert table.schema.field("pressure").metadata == {b"unit": b"Pa"}
    assert [[plain(v) for v in row.values()] for row in table.to_pylist()] == rows_of(df)
    assert table.column("pressure").null_count == 4


def test_describe_lists_keys_codes_units_and_ranks(elements):
    with korvane.open(message(elements, "repeats")) as f:
        keys = korvane.describe(f[0])
    assert [tuple(k) for k in keys] == [
        ("stationNumber", "001002", "WMO STATION NUMBER", "Numeric", 1),
        ("verticalSignificanceSurfaceObservations", "008002", "VERTICAL SIGNIFICANCE (SURFACE OBSERVATIONS)",
         "CODE TABLE", 2),
        ("cloudType", "020012", "CLOUD TYPE", "CODE TABLE", 3),
    ]


@pytest.mark.parametrize(
    "name, key",
    [("Temperature/air temperature", "temperatureAirTemperature"), ("3-HOUR PRESSURE CHANGE", "3HourPressureChange"),
     ("WMO block number", "wmoBlockNumber"), ("", "")],
)
def test_keys_from_names(name, key):
    from korvane.frames import key_from_name

    assert key_from_name(name) == key


def test_optional_extras_are_imported_only_when_used():
    code = (
        "import sys, korvane\n"
        "assert 'pandas' not in sys.modules and 'pyarrow' not in sys.modules\n"
        "sys.modules['pandas'] = None\n"
        "try:\n"
        "    korvane.read_bufr(b'')\n"
        "except ImportError as e:\n"
        "    print(e)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert "korvane.read_bufr needs pandas" in out and "pip install pandas" in out


@pytest.mark.filterwarnings("ignore::korvane.AbsentKeyWarning")
@pytest.mark.parametrize("kwargs", [
    dict(columns=["data_datetime", "WMO_station_id", "latitude", "pressure", "airTemperature", "stationOrSiteName"],
         required_columns=False),
    dict(columns=["latitude", "pressure", "airTemperature"], filters={"pressure": slice(50000, 90000)}),
    dict(columns=["message_index", "subset", "#1#airTemperature", "012101"], flat=True),
], ids=["rows", "filtered", "flat"])
def test_threads_give_the_table_of_one_thread(corpus_dir, kwargs):
    # The edition 3 corpus as one input: a thousand messages in some twenty
    # batches, which the threads take in turn.
    import pandas as pd

    data = b"".join(p.read_bytes() for p in sorted((corpus_dir / "ed3").glob("*.bufr")))
    one = korvane.read_bufr(data, threads=1, errors="skip", **kwargs)
    assert len(one) > 1000
    for threads in (2, 3):
        pd.testing.assert_frame_equal(korvane.read_bufr(data, threads=threads, errors="skip", **kwargs), one)
