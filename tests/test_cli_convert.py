"""korvane convert, and korvane dump's JSON, against korvane.read_bufr."""

from __future__ import annotations

import io
import json

import pytest

from clirun import EXPECTED, korvane

pd = pytest.importorskip("pandas")


def _frame(path, columns, filters=None):
    import korvane as k

    return k.read_bufr(str(path), columns, filters)


@pytest.mark.parametrize("case", EXPECTED["convert"], ids=lambda c: c["file"])
def test_convert_writes_the_table_of_read_bufr_as_csv(corpus_dir, tmp_path, case):
    path = corpus_dir / "ed4" / case["file"]
    filters = ["--filter", case["filter"]] if "filter" in case else []
    r = korvane("convert", str(path), "--columns", ",".join(case["columns"]), *filters)
    assert r.returncode == 0, r.stderr
    got = pd.read_csv(io.StringIO(r.stdout))
    want = _frame(path, case["columns"], {k: slice(*v) for k, v in case.get("range", {}).items()})
    assert list(got.columns) == case["columns"] and len(got) == len(want) == case["rows"]
    for c in case["columns"]:
        assert got[c].astype(str).tolist() == want[c].astype(str).tolist(), c
    # The same table to a file, and as Parquet.
    out = tmp_path / "t.csv"
    assert korvane("convert", str(path), "--columns", ",".join(case["columns"]), *filters, "-o", str(out)).returncode == 0
    assert out.read_text() == r.stdout
    pq = pytest.importorskip("pyarrow.parquet")
    r = korvane("convert", str(path), "--columns", ",".join(case["columns"]), *filters, "-o", str(tmp_path / "t.parquet"))
    assert r.returncode == 0, r.stderr
    table = pq.read_table(tmp_path / "t.parquet").to_pandas()
    for c in case["columns"]:
        assert table[c].astype(str).tolist() == want[c].astype(str).tolist(), c


def test_convert_reports_damaged_messages_and_goes_on(corpus_dir, tmp_path):
    r = korvane("convert", str(corpus_dir / "ed4" / "jason2.bufr"), str(corpus_dir / "ed4" / "ISMD01_OKPR.bufr"),
                "--columns", "latitude")
    assert r.returncode == 1
    assert r.stderr.startswith(f"korvane: {corpus_dir / 'ed4' / 'jason2.bufr'}: message 0 at offset 0: ")
    assert len(r.stderr.splitlines()) == 1
    assert len(r.stdout.splitlines()) == 1 + 4 * 7


def test_compact_json_agrees_with_read_bufr(corpus_dir):
    path = corpus_dir / "ed4" / "ISMD01_OKPR.bufr"
    columns = ["latitude", "longitude", "airTemperature"]
    r = korvane("dump", "--json", "--compact", "--keys", ",".join(columns), str(path))
    assert r.returncode == 0, r.stderr
    docs = [json.loads(line) for line in r.stdout.splitlines()]
    frame = _frame(path, columns)
    for c in columns:
        got = []
        for d in docs:
            v = d["values"][c]
            got += v if isinstance(v, list) else [v] * d["header"]["number_of_subsets"]
        assert got == [None if x != x else x for x in frame[c].tolist()], c


@pytest.mark.parametrize(
    "files, columns, required",
    [
        (["ed4/ISMD01_OKPR.bufr"], "stationNumber,airTemperatur", None),
        (["ed4/ISMD01_OKPR.bufr"], "stationNumber,airTemperatureAt2M", "stationNumber"),
        (["ed4/ISMD01_OKPR.bufr", "ed3/syno_1.bufr"], "stationNumber,airTemperatureAt2M", "none"),
        (["ed4/ISMD01_OKPR.bufr", "ed3/syno_1.bufr"], "stationNumber,airTemperatureAt2M", None),
    ],
)
def test_convert_names_unknown_and_absent_keys_as_read_bufr_does(corpus_dir, files, columns, required):
    """An unknown key fails the command before anything is written; a key
    absent from every file is a warning with read_bufr's text, a key of some
    file none; --required chooses the rows as required_columns does."""
    import warnings

    import korvane as k

    paths = [str(corpus_dir / f) for f in files]
    keep = {None: True, "none": False}.get(required, [required])
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            want, error = k.read_bufr(paths, columns.split(","), required_columns=keep), None
        except KeyError as e:
            want, error = None, str(e)
    r = korvane("convert", *paths, "--columns", columns, *(["--required", required] if required else []))
    if error is not None:
        assert (r.returncode, r.stdout, r.stderr) == (1, "", f"korvane: {error}\n")
        return
    assert r.returncode == 0
    assert r.stderr.splitlines() == [f"korvane: warning: {w.message}" for w in caught]
    assert len(pd.read_csv(io.StringIO(r.stdout))) == len(want)
