"""The WMO BUFR4 CSV tables and tables chosen from a definitions root."""

from __future__ import annotations

import random
import subprocess
import sys
from pathlib import Path

import pytest

import korvane
from korvane import _korvane
from korvane._korvane import TableSet
from bufr_builder import Bits, build
from tablefiles import read_wmo_csv, table_dir, write

TABLE = "csv/table parse error: "
B_HEADER = "ClassNo,ClassName_en,FXY,ElementName_en,BUFR_Unit,BUFR_Scale,BUFR_ReferenceValue,BUFR_DataWidth_Bits\n"
D_HEADER = "Category,CategoryOfSequences_en,FXY1,Title_en,SubTitle_en,FXY2\n"


def csv_dir(root: Path, files: dict[str, str | bytes]) -> str:
    root.mkdir(parents=True, exist_ok=True)
    for name, content in files.items():
        write(root / name, content)
    return str(root)


def b_row(code="001001", name="WMO block number", unit="Numeric", scale="0", ref="0", width="7") -> str:
    return f'01,Identification,{code},"{name}",{unit},{scale},{ref},{width}\n'


def error_of(call) -> str:
    with pytest.raises(ValueError) as info:
        call()
    assert type(info.value) is ValueError
    return str(info.value)


# ---- WMO CSV files --------------------------------------------------------------


def test_wmo_csv_real_files(corpus_dir):
    directory = corpus_dir.parent / "wmo-bufr4-v45"
    t = TableSet.from_bufr4_45(str(directory))
    elements, sequences = read_wmo_csv(directory)
    assert (t.element_count, t.sequence_count) == (len(elements), len(sequences))
    assert t.element_count > 1500 and t.sequence_count > 500
    kinds = {"Code table": "code", "Flag table": "flags", "CCITT IA5": "string"}
    for code, row in elements.items():
        e = t.get_element(code)
        assert (e.code, e.abbreviation, e.name, e.unit) == (code, "", row[3], row[4])
        assert (e.scale, e.reference, e.width) == (int(row[5]), int(row[6]), int(row[7]))
        assert e.element_type == kinds.get(row[4], "long")
    for code, members in sequences.items():
        assert t.get_sequence(code).members == members
    assert t.get_meaning(1003, 1) is None and t.get_meaning(20003, 0) is None
    assert t.get_element(1001).name == "WMO block number"


def test_wmo_csv_dialect(tmp_path):
    d = csv_dir(
        tmp_path,
        {
            "BUFRCREX_TableB_en_00.csv": B_HEADER.replace("\n", "\r\n")
            + b_row(name='Name, with "quotes"').replace("\n", "\r\n")
            + "\r\n"
            + b_row(code=" 001002 ", name="multi\nline", unit="Code table", scale="+2", ref="-1000000000000")
            + b_row(code="001003", unit=" Code table")
            + b_row(code="001004", unit="code table")
            + b_row(code="001005", unit="Flag table")
            + b_row(code="001006", unit="CCITT IA5", width="65535"),
            "BUFRCREX_TableB_en_01.csv": B_HEADER + b_row(code="001001", name="later file wins"),
            "BUFR_TableD_en_00.csv": D_HEADER + "3,x,301001,t,,1001\n3,x,301009,t,,9\n",
            "BUFR_TableD_en_01.csv": D_HEADER
            + "3,x,301001,t,,1001\n3,x,301002,t,,2001\n3,x,301001,t,,1002\n",
            "BUFR_TableD_en_02.csv": D_HEADER,  # header only
            "BUFR_TableA_en.csv": "not,read\n",
            "BUFRCREX_TableB_en_02.txt": "not,read\n",
            "bufrcrex_TableB_en_03.csv": "not,read\n",
        },
    )
    t = TableSet.from_bufr4_45(d)
    assert repr(t) == "TableSet(elements=6, sequences=3)"
    assert t.get_element(1001).name == "later file wins"
    e = t.get_element(1002)
    assert (e.name, e.unit, e.element_type, e.scale, e.reference) == ("multi\nline", "Code table", "code", 2, -10**12)
    assert [t.get_element(c).element_type for c in (1003, 1004, 1005, 1006)] == ["long", "long", "flags", "string"]
    assert t.get_sequence(301001).members == [1001, 1002]
    assert t.get_sequence(301002).members == [2001]
    assert t.get_sequence(301009).members == [9]


def test_wmo_csv_short_records_and_empty_directory(tmp_path):
    seven = "a,b,c,d,e,f,g\n"
    d = csv_dir(tmp_path / "x", {"BUFRCREX_TableB_en_00.csv": seven + "1,x,001001,n,u,0,0\n",
                                 "BUFR_TableD_en_00.csv": "a,b,c,d,e\n1,x,301001,t,\n"})
    assert repr(TableSet.from_bufr4_45(d)) == "TableSet(elements=0, sequences=0)"
    assert repr(TableSet.from_bufr4_45(csv_dir(tmp_path / "empty", {}))) == "TableSet(elements=0, sequences=0)"


@pytest.mark.parametrize(
    "files, text",
    [
        ({"BUFRCREX_TableB_en_00.csv": B_HEADER + b_row(code="")},
         TABLE + 'bad descriptor code "": cannot parse integer from empty string'),
        ({"BUFRCREX_TableB_en_00.csv": B_HEADER + b_row(scale=" 2")},
         TABLE + 'bad i32 " 2": invalid digit found in string'),
        ({"BUFRCREX_TableB_en_00.csv": B_HEADER + b_row(ref="1 ")},
         TABLE + 'bad i64 "1 ": invalid digit found in string'),
        ({"BUFRCREX_TableB_en_00.csv": B_HEADER + b_row(width="-1")},
         TABLE + 'bad u16 "-1": invalid digit found in string'),
        ({"BUFRCREX_TableB_en_00.csv": B_HEADER + b_row() + "1,2,3\n"},
         TABLE + "CSV error: record 2 (line: 3, byte: "
         + str(len(B_HEADER) + len(b_row()))
         + "): found record with 3 fields, but the previous record has 8 fields"),
        ({"BUFRCREX_TableB_en_00.csv": B_HEADER.encode() + b'1,x,001001,"caf\xe9",u,0,0,7\n'},
         TABLE + f"CSV parse error: record 1 (line 2, field: 3, byte: {len(B_HEADER)}): "
         "invalid utf-8: invalid UTF-8 in field 3 near byte index 3"),
        ({"BUFRCREX_TableB_en_00.csv": b"a,b\xff\n"},
         TABLE + "CSV parse error: record 0 (line 1, field: 1, byte: 0): invalid utf-8: invalid UTF-8 in field 1 near byte index 1"),
        ({"BUFR_TableD_en_00.csv": D_HEADER + "3,x,301001,t,,x\n"},
         TABLE + 'bad descriptor code "x": invalid digit found in string'),
        ({"BUFR_TableD_en_00.csv": D_HEADER + "3,x,3010 01,t,,1\n"},
         TABLE + 'bad descriptor code "3010 01": invalid digit found in string'),
        ({"BUFR_TableD_en_00.csv": D_HEADER + "1,2\n"},
         TABLE + f"CSV error: record 1 (line: 2, byte: {len(D_HEADER)}): found record with 2 fields, but the previous record has 6 fields"),
    ],
)
def test_wmo_csv_failures(tmp_path, files, text):
    d = csv_dir(tmp_path, files)
    assert error_of(lambda: TableSet.from_bufr4_45(d)) == text


def test_wmo_csv_file_and_directory_failures(tmp_path):
    assert error_of(lambda: TableSet.from_bufr4_45(str(tmp_path / "missing"))) == (
        "io error: No such file or directory (os error 2)"
    )
    (tmp_path / "BUFRCREX_TableB_en_00.csv").mkdir()
    assert error_of(lambda: TableSet.from_bufr4_45(str(tmp_path))) == TABLE + "Is a directory (os error 21)"
    (tmp_path / "BUFRCREX_TableB_en_00.csv").rmdir()
    (tmp_path / "BUFR_TableD_en_00.csv").symlink_to(tmp_path / "nowhere.csv")
    assert error_of(lambda: TableSet.from_bufr4_45(str(tmp_path))) == (
        TABLE + "No such file or directory (os error 2)"
    )
    file_path = csv_dir(tmp_path / "f", {"x": "x"}) + "/x"
    assert error_of(lambda: TableSet.from_bufr4_45(file_path)) == "io error: Not a directory (os error 20)"


def test_wmo_csv_binary_garbage(tmp_path):
    rng = random.Random(5)
    d = csv_dir(tmp_path, {"BUFRCREX_TableB_en_00.csv": bytes(rng.randrange(256) for _ in range(50_000))})
    assert error_of(lambda: TableSet.from_bufr4_45(d)).startswith(TABLE + "CSV")


# ---- definitions root -----------------------------------------------------------


def message(**fields):
    return _korvane.parse_bytes(build(**fields))


WMO_ELEMENTS = (
    "001001|blockNumber|long|WMO BLOCK NUMBER|Numeric|0|0|7\n"
    "001002|stationNumber|long|WMO STATION NUMBER|Numeric|0|0|10\n"
)


@pytest.fixture
def root(tmp_path) -> Path:
    r = tmp_path / "defs"
    wmo = r / "bufr" / "tables" / "0" / "wmo"
    table_dir(wmo / "13", element=WMO_ELEMENTS, sequence="301001 = [ 1001, 1002 ]\n",
              codetables={"1001.table": "1 1 wmo one\n2 2 wmo two\n"})
    table_dir(wmo / "19", element="001001|v19|long|V19|Numeric|0|0|7\n", sequence="")
    write(wmo / "14", "13\n")
    write(wmo / "15", "  14 \t\n")  # alias of an alias
    write(wmo / "20", "21")
    write(wmo / "21", "20")
    write(wmo / "22", "22")
    write(wmo / "23", "99")
    write(wmo / "24", "../13")
    write(wmo / "25", "\n \n")
    write(wmo / "26", "a\\b")
    (wmo / "27").symlink_to("/proc/self/mem")
    write(wmo / "28", "27")
    return r


def test_wmo_directory_only(root):
    t = TableSet.from_definitions(str(root), message(master_version=13, local_version=0))
    assert repr(t) == "TableSet(elements=2, sequences=1)"
    assert t.get_meaning(1001, 2) == "wmo two"


@pytest.mark.parametrize("version", [14, 15])
def test_alias_files_are_followed(root, version):
    t = TableSet.from_definitions(str(root), message(master_version=version))
    assert t.get_element(1002).name == "WMO STATION NUMBER"


@pytest.mark.parametrize(
    "version, text",
    [
        (30, TABLE + "ecCodes table directory does not exist: {w}/30"),
        (20, TABLE + "ecCodes table alias chain from {w}/20 does not reach a directory within 32 aliases"),
        (22, TABLE + "ecCodes table alias chain from {w}/22 does not reach a directory within 32 aliases"),
        (23, TABLE + "ecCodes table directory does not exist: {w}/99"),
        (24, TABLE + 'invalid ecCodes table alias {w}/24 -> "../13"'),
        (25, TABLE + 'invalid ecCodes table alias {w}/25 -> ""'),
        (26, TABLE + 'invalid ecCodes table alias {w}/26 -> "a\\\\b"'),
        (27, "io error: Input/output error (os error 5)"),
        (28, "io error: Input/output error (os error 5)"),
    ],
)
def test_wmo_directory_failures(root, version, text):
    w = f"{root}/bufr/tables/0/wmo"
    m = message(master_version=version, local_version=1)
    assert error_of(lambda: TableSet.from_definitions(str(root), m)) == text.format(w=w)
    # A trailing separator on the root does not double in the path.
    assert error_of(lambda: TableSet.from_definitions(str(root) + "/", m)) == text.format(w=w)


def test_local_tables_are_loaded_over_wmo(root):
    local = root / "bufr" / "tables" / "0" / "local" / "1" / "98" / "0"
    table_dir(
        local,
        element="001001|local|long|LOCAL BLOCK|Numeric|1|0|8\n001211|x|long|LOCAL ONLY|Numeric|0|0|4\n",
        sequence="301001 = [ 1211 ]\n340001 = [ 1001 ]\n",
        codetables={"1001.table": "1 1 local one\n"},
    )
    t = TableSet.from_definitions(str(root), message(master_version=13, local_version=1, centre=98, subcentre=0))
    assert (t.element_count, t.sequence_count) == (3, 2)
    assert t.get_element(1001).name == "LOCAL BLOCK" and t.get_element(1002).name == "WMO STATION NUMBER"
    assert t.get_sequence(301001).members == [1211]
    # The local code table replaces the WMO table of the same element whole.
    assert (t.get_meaning(1001, 1), t.get_meaning(1001, 2)) == ("local one", None)

    for kwargs in (dict(subcentre=1), dict(centre=7), dict(local_version=2), dict(local_version=0)):
        fields = dict(master_version=13, local_version=1, centre=98, subcentre=0) | kwargs
        other = TableSet.from_definitions(str(root), message(**fields))
        assert other.get_element(1001).name == "WMO BLOCK NUMBER", kwargs


def test_local_directory_with_some_files(root):
    local = root / "bufr" / "tables" / "0" / "local" / "1" / "98" / "0"
    local.mkdir(parents=True)
    write(local / "sequence.def", "301002 = [ 1002 ]\n")
    t = TableSet.from_definitions(str(root), message(master_version=13, local_version=1))
    assert (t.element_count, t.sequence_count) == (2, 2)
    assert t.get_meaning(1001, 1) == "wmo one"
    write(local / "element.table", "001001|a|long|B|u| 1|0|7\n")
    m = message(master_version=13, local_version=1)
    assert error_of(lambda: TableSet.from_definitions(str(root), m)) == TABLE + 'bad i32 " 1": invalid digit found in string'


def test_local_directory_naming(root):
    # Under master version 19, local version L lives in "19-L".
    tables = root / "bufr" / "tables" / "0"
    table_dir(tables / "local" / "19-1" / "98" / "0", element="001001|a|long|HYPHENATED|u|0|0|7\n", sequence="")
    table_dir(tables / "local" / "1" / "98" / "0", element="001001|a|long|PLAIN|u|0|0|7\n", sequence="")
    def name(version):
        m = message(master_version=version, local_version=1)
        return TableSet.from_definitions(str(root), m).get_element(1001).name
    assert (name(19), name(13)) == ("HYPHENATED", "PLAIN")


def test_missing_wmo_directory_fails_even_with_local_tables(root):
    table_dir(root / "bufr" / "tables" / "0" / "local" / "1" / "98" / "0")
    m = message(master_version=31, local_version=1)
    assert error_of(lambda: TableSet.from_definitions(str(root), m)) == (
        TABLE + f"ecCodes table directory does not exist: {root}/bufr/tables/0/wmo/31"
    )


def test_master_table_number_names_the_directory(root):
    table_dir(root / "bufr" / "tables" / "10" / "wmo" / "13", element="001001|a|long|OCEAN|u|0|0|7\n", sequence="")
    t = TableSet.from_definitions(str(root), message(master_table=10, master_version=13))
    assert t.get_element(1001).name == "OCEAN"


@pytest.mark.parametrize(
    "args, text",
    [
        ((1, None), "argument 'path': "),
        (("/x", b"BUFR"), "argument 'message': 'bytes' object is not an instance of 'BufrMessage'"),
        (("/x", TableSet()), "argument 'message': 'builtins.TableSet' object is not an instance of 'BufrMessage'"),
    ],
)
def test_from_definitions_argument_rules(args, text):
    with pytest.raises(TypeError) as info:
        TableSet.from_definitions(*args)
    assert str(info.value).startswith(text)


def test_csv_reader_agrees_with_the_csv_module(tmp_path):
    # Random records across many 8 KiB buffer boundaries: quoted fields holding
    # separators, quotes and line ends, mixed CR, LF and CRLF, blank lines.
    import csv
    import io
    import re

    rng = random.Random(11)
    alphabet = ["a", "B", " ", ",", '"', "\n", "\r\n", "\r", "é", "°", "€", "𝄞", "x" * 40]

    def field() -> str:
        text = "".join(rng.choice(alphabet) for _ in range(rng.randrange(0, 12)))
        if any(c in text for c in ',"\r\n') or rng.random() < 0.2:
            return '"' + text.replace('"', '""') + '"'
        return text

    ends = ["\n", "\r\n", "\r"]
    parts = [B_HEADER.replace("\n", rng.choice(ends))]
    for i in range(700):
        fields = ["01", field(), f"{i:06d}", field(), field(), str(rng.randrange(-9, 10)), "0", str(rng.randrange(40))]
        parts.append(",".join(fields) + rng.choice(ends) + (rng.choice(ends) if rng.random() < 0.1 else ""))
    good = "".join(parts)
    assert len(good.encode()) > 5 * 8192
    d = csv_dir(tmp_path, {"BUFRCREX_TableB_en_00.csv": good})
    t = TableSet.from_bufr4_45(d)

    rows = [r for r in csv.reader(io.StringIO(good, newline="")) if r][1:]
    assert t.element_count == len(rows) == 700
    for r in rows:
        e = t.get_element(int(r[2]))
        assert (e.name, e.unit, e.scale, e.width) == (r[3], r[4], int(r[5]), int(r[7]))

    bad = good + "1,2,3\n"
    write(Path(d) / "BUFRCREX_TableB_en_00.csv", bad)
    line = 1 + len(re.findall(r"\r\n|\r|\n", good))
    assert error_of(lambda: TableSet.from_bufr4_45(d)) == (
        TABLE + f"CSV error: record 701 (line: {line}, byte: {len(good.encode())}): "
        "found record with 3 fields, but the previous record has 8 fields"
    )


def test_equal_tables_are_loaded_once(root):
    # Centres without local tables (declared or installed) share the WMO set.
    data = b"".join(build(centre=c, master_version=13, local_version=c % 2, descriptors=[1001],
                          data=Bits().uint(7, 7).to_bytes()) for c in range(600))
    with korvane.open(data, definitions=root) as f:
        assert len({id(m.tables) for m in f}) == 1 and len(f) == 600


def test_a_bad_code_table_fails_only_what_needs_it(root, tmp_path):
    wmo = root / "bufr" / "tables" / "0" / "wmo" / "13"
    write(wmo / "element.table", WMO_ELEMENTS + "001003|regionNumber|long|WMO REGION NUMBER|CODE TABLE|0|0|3\n")
    bad = write(wmo / "codetables" / "1003.table", "1 1 region one\nx 2 region two\n")
    with pytest.raises(ValueError):  # the per-value module reads every table of a set or none
        TableSet.from_definitions(str(root), message(master_version=13))
    first = build(master_version=13, descriptors=[1001], data=Bits().uint(7, 7).to_bytes())
    path = write(tmp_path / "two.bufr", first + build(master_version=13, descriptors=[1003],
                                                     data=Bits().uint(1, 3).to_bytes()))
    assert [m.decode().value.tolist() for m in korvane.open(path, definitions=root)] == [[7.0], [1.0]]
    done = subprocess.run([sys.executable, "-m", "korvane", "dump", "--definitions", str(root), str(path)],
                          capture_output=True, text=True)
    assert done.returncode == 1 and "blockNumber" in done.stdout and "regionNumber" not in done.stdout
    assert done.stderr == (f"korvane: {path}: message 1 at offset {len(first)}: "
                           f"{bad}, line 2: bad code table key \"x\": invalid digit found in string\n")
