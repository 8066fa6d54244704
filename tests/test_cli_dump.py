"""korvane dump, run as a user would run it."""

from __future__ import annotations

import json

import pytest

from bufr_builder import Bits, build
from clirun import EXPECTED, korvane
from datatables import ELEMENTS, make_tables
from shared_data import WMO_CSV


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
        f"# {bufr_file} message 0 at offset 0: edition 4, centre 98, category 0, 2024-05-17T12:30:45, 2 subsets, "
        "uncompressed",
        "## subset 1",
        "001001\tWmoBlockNumber\tWMO BLOCK NUMBER\t11\tNumeric",
        "002001\tTypeOfStation\tTYPE OF STATION\t1\tCode table\tMANNED STATION",
        "031001\tDelayedReplicationFactor\tDELAYED REPLICATION FACTOR\t1\tNumeric",
        '001015\tStationOrSiteName\tSTATION OR SITE NAME\t"ONE"\tCCITT IA5',
        "## subset 2",
        "001001\tWmoBlockNumber\tWMO BLOCK NUMBER\t12\tNumeric",
        "002001\tTypeOfStation\tTYPE OF STATION\t0\tCode table\tAUTOMATIC STATION",
        "031001\tDelayedReplicationFactor\tDELAYED REPLICATION FACTOR\t3\tNumeric",
        '001015\tStationOrSiteName\tSTATION OR SITE NAME\t"A"\tCCITT IA5',
        '001015\tStationOrSiteName\tSTATION OR SITE NAME\t"B\\tC"\tCCITT IA5',
        '001015\tStationOrSiteName\tSTATION OR SITE NAME\t""\tCCITT IA5',
        f"# {bufr_file} message 1 at offset {len(UNCOMPRESSED)}: edition 4, centre 98, category 0, "
        "2024-05-17T12:30:45, 2 subsets, compressed",
        "## subset 1",
        "001001\tWmoBlockNumber\tWMO BLOCK NUMBER\t20\tNumeric",
        "012101\tTemperature\tTEMPERATURE\tmissing\tK",
        "## subset 2",
        "001001\tWmoBlockNumber\tWMO BLOCK NUMBER\t21\tNumeric",
        "012101\tTemperature\tTEMPERATURE\tmissing\tK",
    ]


def test_dump_json_writes_one_object_per_message(tables, bufr_file):
    r = korvane("dump", "--json", "--tables", tables, bufr_file)
    assert r.returncode == 0, r.stderr
    first, second = (json.loads(line) for line in r.stdout.splitlines())
    assert (first["file"], first["message"], first["offset"]) == (bufr_file, 0, 0)
    assert first["header"]["unexpanded_descriptors"] == [1001, 2001, 101000, 31001, 1015]
    assert [len(s) for s in first["subsets"]] == [4, 6]
    assert first["subsets"][0][1] == {"code": 2001, "key": "TypeOfStation", "name": "TYPE OF STATION", "value": 1,
                                      "unit": "Code table", "meaning": "MANNED STATION"}
    assert first["subsets"][1][4]["value"] == "B\tC"
    assert [[v["value"] for v in s] for s in second["subsets"]] == [[20, None], [21, None]]


def test_dump_reports_a_failing_message_and_goes_on(tables, tmp_path):
    path = tmp_path / "bad.bufr"
    short = build(descriptors=[1001, 1002], data=Bits().uint(1, 7))
    path.write_bytes(short + COMPRESSED)
    r = korvane("dump", "--tables", tables, str(path), str(tmp_path / "missing.bufr"))
    assert r.returncode == 1
    assert r.stderr.splitlines() == [
        f"korvane: {path}: message 0 at offset 0: the data section ends at bit 8 while reading descriptor 001002: "
        "10 bits needed at bit 7, 1 left",
        f"korvane: {tmp_path / 'missing.bufr'}: No such file or directory",
    ]
    assert "012101\tTemperature\tTEMPERATURE\tmissing\tK" in r.stdout
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
        "031021\tassociatedFieldSignificance\tASSOCIATED FIELD SIGNIFICANCE\t6\tCODE TABLE",
        "999999\tassociatedField\tassociated field\t15\t",
        "001001\tblockNumber\tWMO BLOCK NUMBER\t10\tNumeric",
    ]
    # The message ends with a delayed replication of character insertions
    # (2 05 008) whose factor is 0.
    assert lines[-1] == "031001\tdelayedDescriptorReplicationFactor\tDELAYED DESCRIPTOR REPLICATION FACTOR\t0\tNumeric"


def test_dump_with_wmo_csv_tables(tmp_path):
    path = tmp_path / "one.bufr"
    path.write_bytes(build(descriptors=[1001, 1002], data=Bits().uint(11, 7).uint(423, 10)))
    r = korvane("dump", "--wmo-csv", str(WMO_CSV), str(path))
    assert r.returncode == 0, r.stderr
    assert [line.split("\t")[1:4] for line in r.stdout.splitlines()[1:]] == [
        ["wmoBlockNumber", "WMO block number", "11"], ["wmoStationNumber", "WMO station number", "423"]]


def test_dump_splits_a_real_uncompressed_message_into_subsets(corpus_dir):
    r = korvane("dump", str(corpus_dir / "ed4" / "ISND02_LLBD.bufr"))
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    heads = [i for i, line in enumerate(lines) if line.startswith("## subset")]
    # 222 values: 111 in each of the two subsets, each starting with the
    # WIGOS identifier.
    assert [lines[i] for i in heads] == ["## subset 1", "## subset 2"]
    assert heads[1] - heads[0] - 1 == 111 and len(lines) - heads[1] - 1 == 111
    assert lines[heads[1] + 4] == \
        '001128\twigosLocalIdentifierCharacter\tWIGOS LOCAL IDENTIFIER (CHARACTER)\t"661"\tCCITT IA5'


# ---- corpus files: lines, selections, and JSON read back against korvane.open -----------


@pytest.mark.parametrize("name", sorted(EXPECTED["dump_lines"]))
def test_dump_shows_keys_units_integers_and_meanings(corpus_dir, name):
    r = korvane("dump", str(corpus_dir / "ed4" / name))
    assert r.returncode == 0, r.stderr
    lines = set(r.stdout.splitlines())
    assert [line for line in EXPECTED["dump_lines"][name] if line not in lines] == []


@pytest.mark.parametrize("case", EXPECTED["selections"], ids=lambda c: " ".join(c["args"][:-1]))
def test_dump_subset_and_keys(corpus_dir, case):
    *options, name = case["args"]
    r = korvane("dump", *options, str(corpus_dir / "ed4" / name))
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines()[1:] == case["lines"]


def _reader_items(path):
    """Per message: its header, and per subset (kind, code, key, value) of each item as korvane.open decodes it."""
    import korvane as k

    with k.open(path) as f:
        for m in f:
            v = m.decode()
            b, text = v.subset_bounds, v.text
            yield m.header, [[(int(v.kind[i]), int(v.code[i]), v.key(int(v.code[i])),
                     None if v.missing[i] or v.kind[i] == 3 else text[i] if v.kind[i] in (1, 4) else float(v.value[i]))
                    for i in range(b[s], b[s + 1])] for s in range(v.number_of_subsets)]


def _ranked_columns(subsets) -> dict[str, list]:
    """One list per key across the subsets, a key met twice in a subset named by rank (#2#key)."""
    columns: dict[tuple[str, int], list] = {}
    for s, items in enumerate(subsets):
        counts: dict[str, int] = {}
        for kind, _, key, value in items:
            counts[key] = counts.get(key, 0) + 1
            if kind != 3:
                columns.setdefault((key, counts[key]), [None] * len(subsets))[s] = value
    top = {}
    for key, rank in columns:
        top[key] = max(top.get(key, 0), rank)
    return {key if top[key] == 1 else f"#{rank}#{key}": col for (key, rank), col in columns.items()}


@pytest.mark.parametrize("name", ["ISMD01_OKPR.bufr", "ISND02_LLBD.bufr", "uegabe.bufr", "IUSK73_AMMC_182300.bufr",
                                  "sentinel1.bufr"])
def test_dump_json_reads_back_as_the_reader_decodes(corpus_dir, name):
    path = str(corpus_dir / "ed4" / name)
    full = korvane("dump", "--json", path)
    compact = korvane("dump", "--json", "--compact", path)
    assert full.returncode == compact.returncode == 0, full.stderr + compact.stderr
    docs = [json.loads(line) for line in full.stdout.splitlines()]
    small = [json.loads(line) for line in compact.stdout.splitlines()]
    expected = list(_reader_items(path))
    assert len(docs) == len(small) == len(expected)
    for doc, short, (header, subsets) in zip(docs, small, expected):
        assert doc["header"] == short["header"] == header
        assert [[(it["code"], it["key"], it["value"]) for it in s] for s in doc["subsets"]] == \
            [[item[1:] for item in s] for s in subsets]
        n = doc["header"]["number_of_subsets"]
        assert {k: v if isinstance(v, list) else [v] * n for k, v in short["values"].items()} == \
            _ranked_columns(subsets)


def test_compact_json_is_no_larger_than_ecCodes(corpus_dir):
    for name, limit in EXPECTED["bufr_dump_js_bytes"].items():
        r = korvane("dump", "--json", "--compact", str(corpus_dir / "ed4" / name))
        assert r.returncode == 0 and len(r.stdout.encode()) <= limit
