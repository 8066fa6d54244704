"""korvane dump, run as a user would run it."""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

import pytest

from bufr_builder import Bits, build
from datatables import ELEMENTS, make_tables

WMO_CSV = Path(__file__).resolve().parent.parent.parent / "shared" / "wmo-bufr4-v45"


def korvane(*args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", "korvane", *args], capture_output=True, text=True, timeout=120)


@pytest.fixture
def tables(tmp_path) -> str:
    root = tmp_path / "tables"
    make_tables(root, ELEMENTS)
    return str(root)


# Two uncompressed subsets of different lengths (delayed replication 1, then
# 3), then a compressed message of two subsets, in one file.
UNCOMPRESSED = build(
    descriptors=[1001, 2001, 101000, 31001, 1015],
    subsets=2,
    data=Bits().uint(11, 7).uint(1, 2).uint(1, 8).text("ONE", 160)
    .uint(12, 7).uint(0, 2).uint(3, 8).text("A", 160).text("B\tC", 160).text("", 160),
)
COMPRESSED = build(
    descriptors=[1001, 12101],
    subsets=2,
    compressed=True,
    data=Bits().uint(20, 7).uint(2, 6).uint(0, 2).uint(1, 2).ones(16).uint(0, 6),
)


@pytest.fixture
def bufr_file(tmp_path) -> str:
    path = tmp_path / "two.bufr"
    path.write_bytes(UNCOMPRESSED + COMPRESSED)
    return str(path)


def test_dump_prints_each_subset_one_value_per_line(tables, bufr_file):
    r = korvane("dump", "--tables", tables, bufr_file)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == [
        f"# {bufr_file} message 1 at offset 0: 2 subsets, uncompressed",
        "## subset 1",
        "001001\tWMO BLOCK NUMBER\t11.0",
        "002001\tTYPE OF STATION\t1.0\tMANNED STATION",
        "031001\tDELAYED REPLICATION FACTOR\t1.0",
        '001015\tSTATION OR SITE NAME\t"ONE"',
        "## subset 2",
        "001001\tWMO BLOCK NUMBER\t12.0",
        "002001\tTYPE OF STATION\t0.0\tAUTOMATIC STATION",
        "031001\tDELAYED REPLICATION FACTOR\t3.0",
        '001015\tSTATION OR SITE NAME\t"A"',
        '001015\tSTATION OR SITE NAME\t"B\\tC"',
        '001015\tSTATION OR SITE NAME\t""',
        f"# {bufr_file} message 2 at offset {len(UNCOMPRESSED)}: 2 subsets, compressed",
        "## subset 1",
        "001001\tWMO BLOCK NUMBER\t20.0",
        "012101\tTEMPERATURE\tmissing",
        "## subset 2",
        "001001\tWMO BLOCK NUMBER\t21.0",
        "012101\tTEMPERATURE\tmissing",
    ]


def test_dump_json_writes_one_object_per_message(tables, bufr_file):
    r = korvane("dump", "--json", "--tables", tables, bufr_file)
    assert r.returncode == 0, r.stderr
    first, second = (json.loads(line) for line in r.stdout.splitlines())
    assert (first["file"], first["message"], first["offset"]) == (bufr_file, 1, 0)
    assert [len(s) for s in first["subsets"]] == [4, 6]
    assert first["subsets"][0][1] == {"descriptor": 2001, "name": "TYPE OF STATION", "value": 1.0, "raw": 1,
                                      "text": None, "meaning": "MANNED STATION"}
    assert first["subsets"][1][4]["text"] == "B\tC"
    assert [[v["value"] for v in s] for s in second["subsets"]] == [[20.0, None], [21.0, None]]


def test_dump_reports_a_failing_message_and_goes_on(tables, tmp_path):
    path = tmp_path / "bad.bufr"
    short = build(descriptors=[1001, 1002], data=Bits().uint(1, 7))
    path.write_bytes(short + COMPRESSED)
    r = korvane("dump", "--tables", tables, str(path), str(tmp_path / "missing.bufr"))
    assert r.returncode == 1
    assert r.stderr.splitlines() == [
        f"korvane: {path}: message 1: csv/table parse error: not enough bits while reading section 4 "
        "at bit 7 for width 10 (8 bits available)",
        f"korvane: {tmp_path / 'missing.bufr'}: No such file or directory",
    ]
    assert "012101\tTEMPERATURE\tmissing" in r.stdout
    assert "Traceback" not in r.stderr


def test_dump_with_a_bad_table_directory(tmp_path, bufr_file):
    r = korvane("dump", "--tables", str(tmp_path / "none"), bufr_file)
    assert r.returncode == 1
    assert r.stderr.startswith("korvane: ") and "Traceback" not in r.stderr
    assert r.stdout == ""


def test_dump_chooses_tables_from_the_definitions_root(corpus_dir, definitions_root):
    path = str(corpus_dir / "ed4" / "uegabe.bufr")
    default = korvane("dump", path)
    named = korvane("dump", "--definitions", str(definitions_root), path)
    assert default.returncode == 0, default.stderr
    assert default.stdout == named.stdout
    lines = default.stdout.splitlines()
    assert lines[1:4] == [
        "031021\tASSOCIATED FIELD SIGNIFICANCE\t6.0",
        "999999\tassociatedField\t15.0",
        "001001\tWMO BLOCK NUMBER\t10.0",
    ]
    # The message ends with a delayed replication of character insertions
    # (2 05 008) whose factor is 0.
    assert lines[-1] == "031001\tDELAYED DESCRIPTOR REPLICATION FACTOR\t0.0"


def test_dump_with_wmo_csv_tables(tmp_path):
    path = tmp_path / "one.bufr"
    path.write_bytes(build(descriptors=[1001, 1002], data=Bits().uint(11, 7).uint(423, 10)))
    r = korvane("dump", "--wmo-csv", str(WMO_CSV), str(path))
    assert r.returncode == 0, r.stderr
    assert [line.split("\t")[2] for line in r.stdout.splitlines()[1:]] == ["11.0", "423.0"]


def test_dump_splits_a_real_uncompressed_message_into_subsets(corpus_dir):
    r = korvane("dump", str(corpus_dir / "ed4" / "ISND02_LLBD.bufr"))
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    heads = [i for i, line in enumerate(lines) if line.startswith("## subset")]
    # 222 values: 111 in each of the two subsets, each starting with the
    # WIGOS identifier.
    assert [lines[i] for i in heads] == ["## subset 1", "## subset 2"]
    assert heads[1] - heads[0] - 1 == 111 and len(lines) - heads[1] - 1 == 111
    assert lines[heads[1] + 4] == '001128\tWIGOS LOCAL IDENTIFIER (CHARACTER)\t"661"'
