"""korvane.dask: the table korvane.read_bufr gives, from a cluster of worker processes and from threads."""

from __future__ import annotations

import subprocess
import sys
import warnings
from pathlib import Path

import fsspec
import pandas as pd
import pytest
from distributed import Client, LocalCluster

import korvane
import korvane.dask
from shared_data import ED4 as CORPUS

COLUMNS = ["message_index", "subset", "latitude", "longitude", "data_datetime"]
SMALL = "4kB"  # cuts the larger corpus files and the damaged one into several partitions


@pytest.fixture(scope="module")
def client():
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster:
        with Client(cluster) as c:
            yield c


def _damaged(path: Path, data: bool = True, end: bool = True) -> Path:
    """itrg_208's 15 messages with bulletin headings between some of them;
    message 4 claims 255 subsets, more than its data holds (it fails to
    decode), and message 9 ends in "7778" (the scan rejects it)."""
    with korvane.open(CORPUS / "itrg_208.bufr") as f:
        messages = [(bytearray(m.bytes), m.local_section_present) for m in f]
    out = bytearray()
    for i, (m, local) in enumerate(messages):
        if i == 4 and data:
            s3 = 8 + int.from_bytes(m[8:11], "big")
            if local:
                s3 += int.from_bytes(m[s3 : s3 + 3], "big")
            m[s3 + 4 : s3 + 6] = (255).to_bytes(2, "big")
        if i == 9 and end:
            m[-4:] = b"7778"
        if i % 5 == 2:
            out += b"\r\r\nIUXX01 TEST 010000\r\r\n"
        out += m
    path.write_bytes(out)
    return path


@pytest.fixture
def files(tmp_path) -> list[str]:
    corpus = sorted(str(p) for p in CORPUS.glob("*.bufr"))
    return corpus[:12] + [str(_damaged(tmp_path / "damaged.bufr"))] + corpus[12:]


def _single(source, **kw) -> pd.DataFrame:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        return korvane.read_bufr(source, COLUMNS, **kw)


def test_importing_korvane_leaves_dask_alone():
    code = ("import sys, korvane; korvane.open; "
            "assert not {'dask', 'distributed', 'korvane.dask'} & set(sys.modules); "
            "import korvane.dask; assert 'dask.dataframe' in sys.modules")
    subprocess.run([sys.executable, "-c", code], check=True, timeout=120)


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize(
    "errors, partition_size, filters",
    [
        ("warn", korvane.dask.DEFAULT_PARTITION_SIZE, None),
        ("skip", korvane.dask.DEFAULT_PARTITION_SIZE, {"latitude": slice(-30, 60), "message_index": lambda i: i % 4 != 1}),
        ("warn", SMALL, {"latitude": slice(-30, 60), "message_index": lambda i: i % 4 != 1}),
        ("skip", SMALL, {"message_index": [1, 5, 6, 40, 41, 47, 48, 49, 80]}),
    ],
)
def test_cluster_reads_the_single_process_table(client, files, errors, partition_size, filters):
    expected = _single(files, filters=filters, errors=errors)
    ddf = korvane.dask.read_bufr(files, COLUMNS, filters, errors=errors, partition_size=partition_size)
    assert ddf.npartitions > len(files) if partition_size == SMALL else ddf.npartitions == len(files)
    assert ddf.dtypes.to_dict() == expected.dtypes.to_dict()
    pd.testing.assert_frame_equal(ddf.compute().reset_index(drop=True), expected)


@pytest.mark.parametrize("partition_size", [korvane.dask.DEFAULT_PARTITION_SIZE, SMALL])
@pytest.mark.parametrize("damage", ["data", "end"])
def test_cluster_raises_the_single_process_error(client, tmp_path, damage, partition_size):
    path = str(_damaged(tmp_path / "damaged.bufr", data=damage == "data", end=damage == "end"))
    with pytest.raises(korvane.DecodeError) as expected:
        korvane.read_bufr(path, COLUMNS, errors="raise")
    ddf = korvane.dask.read_bufr([path], COLUMNS, errors="raise", partition_size=partition_size)
    with pytest.raises(korvane.DecodeError) as got:
        ddf.compute()
    e, g = expected.value, got.value
    assert (str(g), g.kind, g.source, g.index, g.offset) == (str(e), e.kind, e.source, e.index, e.offset)


def test_threads_warn_as_the_single_process_reader(files):
    def read(fn):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            df = fn()
        return df, sorted(str(w.message) for w in caught if w.category is RuntimeWarning)

    expected, expected_warnings = read(lambda: korvane.read_bufr(files, COLUMNS, errors="warn"))
    ddf = korvane.dask.read_bufr(files, COLUMNS, errors="warn", partition_size=SMALL)
    got, got_warnings = read(lambda: ddf.compute(scheduler="threads"))
    assert got_warnings == expected_warnings
    pd.testing.assert_frame_equal(got.reset_index(drop=True), expected)


def test_fsspec_urls_read_like_local_files(files):
    fs = fsspec.filesystem("memory")
    names = sorted(Path(f).name for f in files)
    try:
        for f in files:
            fs.pipe(f"/korvane-test/{Path(f).name}", Path(f).read_bytes())
        ddf = korvane.dask.read_bufr("memory://korvane-test/*.bufr", COLUMNS, errors="skip", partition_size=SMALL)
        got = ddf.compute(scheduler="threads")
    finally:
        fs.rm("/korvane-test", recursive=True)
    by_name = {Path(f).name: f for f in files}
    expected = _single([by_name[n] for n in names], errors="skip")
    pd.testing.assert_frame_equal(got.reset_index(drop=True), expected)


def test_partitions_take_the_types_of_the_first_file_or_of_meta():
    # itrg_208 has no station, so its table types both keys float64 (all
    # missing); ISMD01_OKPR's station names cannot be read as numbers.
    # itrg_208's rows are kept without the keys it lacks (required_columns=False).
    paths = [str(CORPUS / "itrg_208.bufr"), str(CORPUS / "ISMD01_OKPR.bufr")]
    columns = ["stationNumber", "stationOrSiteName", "latitude"]
    with pytest.raises(TypeError, match="ISMD01_OKPR.bufr: column 'stationOrSiteName'.* meta="):
        korvane.dask.read_bufr(paths, columns, required_columns=False).compute(scheduler="sync")
    meta = {"stationNumber": "Int64", "stationOrSiteName": "str", "latitude": "float64"}
    got = korvane.dask.read_bufr(paths, columns, required_columns=False, meta=meta).compute(scheduler="sync")
    got = got.reset_index(drop=True)
    assert got.dtypes.to_dict() == pd.DataFrame({k: pd.Series(dtype=v) for k, v in meta.items()}).dtypes.to_dict()
    pd.testing.assert_frame_equal(got, korvane.read_bufr(paths, columns, required_columns=False).astype(got.dtypes))
