"""The table model and its Python classes, ecCodes table directories and code
tables: lookups, reprs, failure texts, and the real WMO tables."""

from __future__ import annotations

import os
import random
import shutil
import stat
import sys
import unicodedata
from pathlib import Path

import pytest

from korvane import _korvane
from korvane._korvane import TableSet
from tablefiles import (
    ELEMENTS,
    SEQUENCES,
    read_code_table,
    read_element_table,
    read_sequence_def,
    table_dir,
    write,
)

TABLE = "csv/table parse error: "
NO_FILE = "No such file or directory (os error 2)"


def load(tmp_path: Path, **files) -> TableSet:
    return TableSet.from_eccodes(str(table_dir(tmp_path / "t", **files)))


def load_error(tmp_path: Path, **files) -> str:
    with pytest.raises(ValueError) as info:
        load(tmp_path, **files)
    assert type(info.value) is ValueError and len(info.value.args) == 1
    return info.value.args[0]


# ---- the model --------------------------------------------------------------


def test_empty_table_set():
    t = TableSet()
    assert repr(t) == "TableSet(elements=0, sequences=0)"
    assert (t.element_count, t.sequence_count) == (0, 0)
    assert t.get_element(1001) is None
    assert t.get_sequence(301001) is None
    assert t.get_meaning(1003, 0) is None
    assert TableSet.__text_signature__ == "()"


@pytest.mark.parametrize(
    "call, exc, text",
    [
        (lambda t: t.get_element(-1), OverflowError, "^out of range integral type conversion attempted$"),
        (lambda t: t.get_element(2**32), OverflowError, "^out of range integral type conversion attempted$"),
        (lambda t: t.get_element("001001"), TypeError, "^argument 'code': "),
        (lambda t: t.get_sequence(1.0), TypeError, "^argument 'code': "),
        (lambda t: t.get_meaning(1003, -1), OverflowError, "^out of range integral type conversion attempted$"),
        (lambda t: t.get_meaning(1003, 2**64), OverflowError, "."),
        (lambda t: t.get_meaning(1003, None), TypeError, "^argument 'raw': "),
        (lambda t: t.get_meaning(code=1003), TypeError, "'raw'"),
        (lambda t: t.get_element(1001, 2), TypeError, "argument"),
        (lambda t: t.get_element(cod=1001), TypeError, "'code'"),
        (lambda t: TableSet(1), TypeError, "argument"),
        (lambda t: TableSet.from_eccodes(Path("/tmp")), TypeError, "^argument 'path': "),
        (lambda t: TableSet.from_eccodes(path=b"/tmp"), TypeError, "^argument 'path': "),
    ],
)
def test_argument_rules(call, exc, text):
    with pytest.raises(exc, match=text) as info:
        call(TableSet())
    assert type(info.value) is exc


def test_lookups_by_keyword_and_largest_values(tmp_path):
    t = load(tmp_path, codetables={"1003.table": "18446744073709551615 0 top\n"})
    assert t.get_element(code=1001).name == "WMO BLOCK NUMBER"
    assert t.get_meaning(code=1003, raw=2**64 - 1) == "top"
    assert t.get_element(2**32 - 1) is None


def test_element_fields_and_copies(tmp_path):
    t = load(tmp_path)
    a, b = t.get_element(12001), t.get_element(12001)
    assert a is not b
    fields = ["code", "abbreviation", "element_type", "name", "unit", "scale", "reference", "width"]
    assert [getattr(a, f) for f in fields] == [12001, "temperature", "double", "TEMPERATURE", "K", 1, 0, 12]
    assert [getattr(b, f) for f in fields] == [getattr(a, f) for f in fields]
    for f in fields:
        with pytest.raises(AttributeError):
            setattr(a, f, getattr(a, f))
    s = t.get_sequence(301001)
    members = s.members
    members.append(5)
    assert s.members == [1001, 1002]
    assert t.get_sequence(301001) is not s
    with pytest.raises(AttributeError):
        s.members = []
    for cls in (_korvane.ElementDefinition, _korvane.SequenceDefinition):
        with pytest.raises(TypeError):
            cls()


@pytest.mark.parametrize(
    "code, name, text",
    [
        (1001, "ABC", 'ElementDefinition(001001, name="ABC")'),
        (0, "x", 'ElementDefinition(000000, name="x")'),
        (1234567, "x", 'ElementDefinition(1234567, name="x")'),
        (1001, 'ICE AGE ("A")', 'ElementDefinition(001001, name="ICE AGE (\\"A\\")")'),
        (1001, "back\\slash 'single'", "ElementDefinition(001001, name=\"back\\\\slash 'single'\")"),
        (1001, "t\tr\rbell\x07nul\x00del\x7f", 'ElementDefinition(001001, name="t\\tr\\rbell\\u{7}nul\\0del\\u{7f}")'),
        (1001, "é µ€ 𝄞 \u00a0\u00ad\u200b\u2028\ue000", 'ElementDefinition(001001, name="é µ€ 𝄞 \\u{a0}\\u{ad}\\u{200b}\\u{2028}\\u{e000}")'),
    ],
)
def test_element_repr_quotes_the_name(tmp_path, code, name, text):
    # A quoted field lets the name hold anything but a line end... and even that.
    quoted = '"' + name.replace('"', '""') + '"'
    t = load(tmp_path, element=f"{code}|a|long|{quoted}|Numeric|0|0|7\n")
    assert repr(t.get_element(code)) == text


def escape_table_unicode() -> tuple[int, ...]:
    """The Unicode release that src/tables/nonprintable.inc was generated from."""
    source = Path(__file__).resolve().parent.parent / "src" / "tables" / "nonprintable.inc"
    first = source.read_text().splitlines()[0]
    return unicode_release(first.split("from Unicode ")[1].split(";")[0])


def unicode_release(text: str) -> tuple[int, ...]:
    return tuple(int(part) for part in text.split("."))


def test_repr_escapes_every_code_point_as_python_judges_printable(tmp_path):
    # The quoted form escapes exactly what str.isprintable() refuses; check a
    # spread of code points from every plane in use.
    rng = random.Random(7)
    points = [c for c in range(0x20, 0x3000)] + [rng.randrange(0x3000, 0x110000) for _ in range(4000)]
    points = [c for c in points if not 0xD800 <= c <= 0xDFFF and chr(c) not in '"\\|\r\n']
    # The module escapes by one Unicode release on every interpreter. One on an
    # older release takes the characters added since for unassigned, so its
    # judgement holds for the code points it knows.
    if unicode_release(unicodedata.unidata_version) < escape_table_unicode():
        points = [c for c in points if unicodedata.category(chr(c)) != "Cn"]
    name = "".join(chr(c) for c in points)

    def expected(s: str) -> str:
        out = []
        for ch in s:
            if ch == "\t":
                out.append("\\t")
            elif ch.isprintable():
                out.append(ch)
            else:
                out.append("\\u{%x}" % ord(ch))
        return '"' + "".join(out) + '"'

    t = load(tmp_path, element=f"1|a|long|{name}|Numeric|0|0|7\n")
    assert repr(t.get_element(1)) == f"ElementDefinition(000001, name={expected(name)})"


@pytest.mark.parametrize(
    "members, text",
    [
        ("1001, 1002", "SequenceDefinition(301001, members=[1001, 1002])"),
        ("", "SequenceDefinition(301001, members=[])"),
        ("   ", "SequenceDefinition(301001, members=[])"),
    ],
)
def test_sequence_repr(tmp_path, members, text):
    t = load(tmp_path, sequence=f"301001 = [{members}]\n")
    assert repr(t.get_sequence(301001)) == text


# ---- element.table and sequence.def -----------------------------------------


def test_directory_without_codetables(tmp_path):
    t = load(tmp_path)
    assert repr(t) == "TableSet(elements=4, sequences=1)"
    assert t.get_meaning(1003, 1) is None


@pytest.mark.parametrize(
    "line, fields",
    [
        ("001001|a|long|B|Numeric|0|0|7|Numeric|0|2", (1001, "a", "long", "B", "Numeric", 0, 0, 7)),
        (" 1001 |a|long|B|Numeric|-3|-1000000000000|65535", (1001, "a", "long", "B", "Numeric", -3, -10**12, 65535)),
        ('"001001"| a |"l|ong"|B "C" D|"x""y"z|+2|9223372036854775807|0',
         (1001, " a ", "l|ong", 'B "C" D', 'x"yz', 2, 2**63 - 1, 0)),
        ('1001|a|long|"multi\nline"|u|-2147483648|-9223372036854775808|1',
         (1001, "a", "long", "multi\nline", "u", -2**31, -2**63, 1)),
        ("1001|a|long|B|u|0|0|7\r\n", (1001, "a", "long", "B", "u", 0, 0, 7)),
        ('#c|d\n\n1001|a|long|B "C"|u"|0|0|7\n', (1001, "a", "long", 'B "C"', 'u"', 0, 0, 7)),
    ],
)
def test_element_line(tmp_path, line, fields):
    e = load(tmp_path, element=line).get_element(1001)
    assert (e.code, e.abbreviation, e.element_type, e.name, e.unit, e.scale, e.reference, e.width) == fields


def test_element_table_layout_rules(tmp_path):
    text = (
        "# comment|with|bars\n"
        "\n\r\n"
        "001001|a|long|first|u|0|0|7\r"
        "#x\n"
        "001001|b|long|second|u|0|0|8\r\n"
        "001002|c|long|# not a comment|u|0|0|9"  # no line end at the end
    )
    t = load(tmp_path, element=text)
    assert t.element_count == 2
    assert t.get_element(1001).name == "second"
    assert t.get_element(1002).name == "# not a comment"


def test_short_element_records_load_nothing(tmp_path):
    assert load(tmp_path, element="001001|a|long|B|u|0|0\n001002|x|y|z|u|0|0\n").element_count == 0


ROW11 = "001001|a|long|B|u|0|0|7|N|0|2\n"
ROW8 = "001002|b|long|C|u|1|2|8\n"


@pytest.mark.parametrize("text", [ROW11 + ROW8, ROW8 + ROW11, ROW8 + "001001|a|long|B|u|0|0|7|N\n"])
def test_crex_columns_are_optional(tmp_path, text):
    # Local tables leave out the CREX columns on some rows and not others.
    t = load(tmp_path, element=text)
    assert t.element_count == 2
    e = t.get_element(1002)
    assert (e.name, e.scale, e.reference, e.width) == ("C", 1, 2, 8)


def test_short_row_after_a_full_row_still_fails(tmp_path):
    assert load_error(tmp_path, element=ROW11 + "001003|a|long|B|u|0|0\n") == (
        TABLE + f"CSV error: record 1 (line: 2, byte: {len(ROW11)}): "
        "found record with 7 fields, but the previous record has 11 fields"
    )


def _line_and_byte(text: str, marker: str) -> tuple[int, int]:
    at = text.encode().index(marker.encode())
    return text.encode()[:at].count(b"\n") + 1, at


def test_unequal_field_count_text(tmp_path):
    text = "#h|e|a|d\n001001|a|long|B|u|0|0|7\n\n# c\n001002|a|long\n"
    line, byte = _line_and_byte(text, "001002")
    assert (line, byte) == (5, 38)
    assert load_error(tmp_path, element=text) == (
        TABLE + f"CSV error: record 1 (line: {line}, byte: {byte}): "
        "found record with 3 fields, but the previous record has 8 fields"
    )


@pytest.mark.parametrize("text", ["001001|a|long|B|u|0|0|7\n   \n", "001001|a|long|B|u|0|0|7\n  #x\n"])
def test_blank_looking_records_count(tmp_path, text):
    assert load_error(tmp_path, element=text) == (
        TABLE + "CSV error: record 1 (line: 2, byte: 24): found record with 1 fields, but the previous record has 8 fields"
    )


def test_cr_only_line_ends_count_lines(tmp_path):
    text = "1|a|l|B|u|0|0|7\r\r2|a|l|B|u|0|0\r"
    assert load_error(tmp_path, element=text) == (
        TABLE + "CSV error: record 1 (line: 3, byte: 17): found record with 7 fields, but the previous record has 8 fields"
    )


def test_invalid_utf8_text(tmp_path):
    body = b"001001|a|long|B|u|0|0|7\n#\xff comments are not checked\n001002|a|long|AB\xc3(|u|0|0|7\n"
    at = body.index(b"001002")
    assert load_error(tmp_path, element=body) == (
        TABLE + f"CSV parse error: record 1 (line 3, field: 3, byte: {at}): "
        "invalid utf-8: invalid UTF-8 in field 3 near byte index 2"
    )


def test_split_multibyte_character_across_fields_is_invalid(tmp_path):
    # "é" is C3 A9; a separator between the two bytes leaves neither field valid.
    body = b"1|a|long|x\xc3|\xa9|0|0|7\n"
    assert load_error(tmp_path, element=body).endswith("invalid UTF-8 in field 3 near byte index 1")


@pytest.mark.parametrize(
    "column, value, text",
    [
        (0, "x1001", 'bad descriptor code "x1001": invalid digit found in string'),
        (0, "", 'bad descriptor code "": cannot parse integer from empty string'),
        (0, ' "" ', 'bad descriptor code " \\"\\" ": cannot parse integer from empty string'),
        (0, "-1", 'bad descriptor code "-1": invalid digit found in string'),
        (0, "+", 'bad descriptor code "+": invalid digit found in string'),
        (0, "4294967296", 'bad descriptor code "4294967296": number too large to fit in target type'),
        (0, "99999999999x", 'bad descriptor code "99999999999x": number too large to fit in target type'),
        (0, "1001\t", None),
        (0, ' " 1001"', 'bad descriptor code " \\" 1001\\"": invalid digit found in string'),
        (5, " 2", 'bad i32 " 2": invalid digit found in string'),
        (5, "2 ", 'bad i32 "2 ": invalid digit found in string'),
        (5, "-", 'bad i32 "-": invalid digit found in string'),
        (5, "2147483648", 'bad i32 "2147483648": number too large to fit in target type'),
        (5, "-2147483649", 'bad i32 "-2147483649": number too small to fit in target type'),
        (6, "9223372036854775808", 'bad i64 "9223372036854775808": number too large to fit in target type'),
        (6, "-9223372036854775809", 'bad i64 "-9223372036854775809": number too small to fit in target type'),
        (6, "1e3", 'bad i64 "1e3": invalid digit found in string'),
        (7, "65536", 'bad u16 "65536": number too large to fit in target type'),
        (7, "-0", 'bad u16 "-0": invalid digit found in string'),
        (7, "\x01", 'bad u16 "\\u{1}": invalid digit found in string'),
    ],
)
def test_element_column_failures(tmp_path, column, value, text):
    cols = ["001001", "a", "long", "B", "u", "0", "0", "7"]
    cols[column] = value
    good = "001002|a|long|B|u|0|0|7\n"
    files = dict(element=good + "|".join(cols) + "\n")
    if text is None:
        assert load(tmp_path, **files).get_element(1001) is not None
    else:
        assert load_error(tmp_path, **files) == TABLE + text


def test_accepted_codes_beyond_six_digits(tmp_path):
    t = load(tmp_path, element="1234567|a|long|B|u|0|0|7\n", sequence=' "399999"\t= ["0000001",+2]\n')
    assert t.get_element(1234567).code == 1234567
    assert t.get_sequence(399999).members == [1, 2]


@pytest.mark.parametrize(
    "text, expected",
    [
        ('"300002" = [  000002, 000003 ]\n', {300002: [2, 3]}),
        ("300002 = [\n  000002,\n   000003 ]\n", {300002: [2, 3]}),
        ("300002 = [ 000002 ,, 000003 , ]\n", {300002: [2, 3]}),
        ('300002=["000002","000003"] trailing text\n', {300002: [2, 3]}),
        ("300002 = [ 2,\n# a comment inside\n\n 3 ]\r\n300003 = [ ]\n", {300002: [2, 3], 300003: []}),
        ("300002 = [ 2 ]\n300002 = [ 3 ]\n", {300002: [3]}),
        ("300002 = [ 2 ]\n]\n300003 = [ 3 ]\n", {300002: [2], 300003: [3]}),
        ("junk ]\n300003 = [ 3 ]\n", {300003: [3]}),
        ("300002 = [ 2,\n", {}),
        ("# only a comment\n", {}),
        ("", {}),
    ],
)
def test_sequence_def_entries(tmp_path, text, expected):
    t = load(tmp_path, sequence=text)
    assert t.sequence_count == len(expected)
    for code, members in expected.items():
        assert t.get_sequence(code).members == members


@pytest.mark.parametrize(
    "text, error",
    [
        ("300002 = 2, 3 ]\n", TABLE + "300002 = 2, 3 ]"),
        ("300002 = ] 2, 3 [\n", TABLE + "300002 = ] 2, 3 ["),
        ("3000x2 = [ 2 ]\n", TABLE + 'bad descriptor code "3000x2 ": invalid digit found in string'),
        ("300002 = [ 2, x ]\n", TABLE + 'bad descriptor code "x": invalid digit found in string'),
        ("no equals\n300003 = [ 3 ]\n", TABLE + 'bad descriptor code "no equals 300003 ": invalid digit found in string'),
        (b"300002 = [ 2 ]\n\xe9\n", "io error: stream did not contain valid UTF-8"),
        (None, "io error: " + NO_FILE),
    ],
)
def test_sequence_def_failures(tmp_path, text, error):
    assert load_error(tmp_path, sequence=text) == error


def test_missing_directory_and_missing_element_table(tmp_path):
    with pytest.raises(ValueError, match="^" + TABLE + NO_FILE.replace("(", r"\(").replace(")", r"\)") + "$"):
        TableSet.from_eccodes(str(tmp_path / "nowhere"))
    assert load_error(tmp_path, element=None) == TABLE + NO_FILE



# ---- bad input: never a crash -----------------------------------------------


def test_binary_garbage_is_a_clean_error(tmp_path):
    rng = random.Random(1)
    garbage = bytes(rng.randrange(256) for _ in range(100_000))
    assert load_error(tmp_path, element=garbage).startswith(TABLE + "CSV")
    assert load_error(tmp_path, sequence=garbage) == "io error: stream did not contain valid UTF-8"
    assert load_error(tmp_path, codetables={"1003.table": garbage}) == "io error: stream did not contain valid UTF-8"


def test_directory_where_a_file_is_expected(tmp_path):
    d = table_dir(tmp_path / "t")
    for name in ("element.table", "sequence.def"):
        (d / name).unlink()
        (d / name).mkdir()
    with pytest.raises(ValueError) as info:
        TableSet.from_eccodes(str(d))
    assert str(info.value) == TABLE + "Is a directory (os error 21)"
    (d / "element.table").rmdir()
    table_dir(d, sequence=None)
    with pytest.raises(ValueError) as info:
        TableSet.from_eccodes(str(d))
    assert str(info.value) == "io error: Is a directory (os error 21)"


def test_fifo_is_refused_not_waited_for(tmp_path):
    d = table_dir(tmp_path / "t", element=None)
    os.mkfifo(d / "element.table")
    assert load_error(tmp_path, element=None) == TABLE + "not a regular file"


@pytest.mark.parametrize("name", ["element.table", "sequence.def", "codetables/1003.table"])
def test_unreadable_file(tmp_path, name):
    # Tests run as root, for whom permission bits take nothing away: a process's
    # own /proc/self/mem opens as a regular file whose first page cannot be read.
    d = table_dir(tmp_path / "t", codetables={})
    (d / name).unlink(missing_ok=True)
    (d / name).symlink_to("/proc/self/mem")
    with pytest.raises(ValueError) as info:
        TableSet.from_eccodes(str(d))
    prefix = TABLE if name == "element.table" else "io error: "
    assert str(info.value) == prefix + "Input/output error (os error 5)"


def test_megabyte_lines(tmp_path):
    name = "N" * (1 << 20)
    t = load(tmp_path, element=ELEMENTS + f"001001|a|long|{name}|u|0|0|7|u|0|0\n")
    assert t.get_element(1001).name == name
    members = ", ".join(["001001"] * 150_000)
    t = load(tmp_path, sequence=f"301001 = [ {members} ]\n")
    assert len(t.get_sequence(301001).members) == 150_000
    assert load_error(tmp_path, element="x" * (1 << 20) + "|a|b|c|d|0|0|7\n").startswith(
        TABLE + 'bad descriptor code "xxxx'
    )


# ---- code tables --------------------------------------------------------------


def test_code_table_lines(tmp_path):
    text = (
        "# heading\n"
        "0 0 Alpha\n"
        "1 1\n"
        "  2   2   Alpha  \t beta  \r\n"
        "+5 5 plus\n"
        "6\u00a06\u2003wide\u3000spaces\n"
        "7 7 first\n"
        "7 7 second\n"
        "18446744073709551615 x max\n"
    )
    t = load(tmp_path, codetables={"1003.table": text})
    assert [t.get_meaning(1003, k) for k in (0, 1, 2, 5, 6, 7, 2**64 - 1, 3)] == [
        "Alpha", None, "Alpha beta", "plus", "wide spaces", "second", "max", None,
    ]


def test_flag_tables_are_looked_up_by_their_numbers(tmp_path):
    t = load(tmp_path, codetables={"2002.table": "1 1 bit one\n2 2 bit two\n3 3 bit three\n4 4 bit four\n"})
    assert t.get_meaning(2002, 2) == "bit two"
    assert t.get_meaning(2002, 6) is None


@pytest.mark.parametrize(
    "line, reason",
    [
        ("x y z", '"x": invalid digit found in string'),
        ("-1 1 a", '"-1": invalid digit found in string'),
        ("18446744073709551616 1 a", '"18446744073709551616": number too large to fit in target type'),
        ("1.0 1 a", '"1.0": invalid digit found in string'),
    ],
)
def test_code_table_key_failures(tmp_path, line, reason):
    assert load_error(tmp_path, codetables={"1003.table": line + "\n"}) == TABLE + "bad code table key " + reason


@pytest.mark.parametrize(
    "name, error",
    [
        ("README.table", 'bad descriptor code "README": invalid digit found in string'),
        ("a.b.table", 'bad descriptor code "a.b": invalid digit found in string'),
        (".table", 'bad descriptor code ".table": invalid digit found in string'),
    ],
)
def test_code_table_file_names(tmp_path, name, error):
    assert load_error(tmp_path, codetables={name: "1 1 a\n"}) == TABLE + error


def test_code_table_file_selection_and_order(tmp_path):
    t = load(
        tmp_path,
        codetables={
            "01003.table": "1 1 from 01003\n2 2 only in 01003\n",
            "1003.table": "1 1 from 1003\n",  # sorts later: replaces the whole table
            '"2002".table': "1 1 quoted stem\n",
            "1003.TABLE": "1 1 upper case\n",
            "1003.table.bak": "1 1 backup\n",
            "8001.table": "# only comments\n",
            "notes.txt": "not a table\n",
        },
    )
    assert t.get_meaning(1003, 1) == "from 1003"
    assert t.get_meaning(1003, 2) is None
    assert t.get_meaning(2002, 1) == "quoted stem"
    assert t.get_meaning(8001, 0) is None


def test_code_table_directory_odd_entries(tmp_path):
    d = table_dir(tmp_path / "t", codetables={})
    write(d / "codetables" / b"\xff.table".decode("utf-8", "surrogateescape"), "1 1 skipped: stem is not UTF-8\n")
    assert TableSet.from_eccodes(str(d)).get_meaning(1003, 1) is None
    (d / "codetables" / "5.table").mkdir()
    with pytest.raises(ValueError, match=r"^io error: Is a directory \(os error 21\)$"):
        TableSet.from_eccodes(str(d))
    (d / "codetables" / "5.table").rmdir()
    shutil.rmtree(d / "codetables")
    (d / "codetables").write_text("a file")
    with pytest.raises(ValueError, match=r"^io error: Not a directory \(os error 20\)$"):
        TableSet.from_eccodes(str(d))
    (d / "codetables").unlink()
    (d / "codetables").symlink_to(tmp_path / "missing")
    assert TableSet.from_eccodes(str(d)).element_count == 4  # a dangling link is an absent directory


# ---- the real WMO tables ----------------------------------------------------


def wmo_versions(definitions_root: Path) -> list[Path]:
    base = definitions_root / "bufr" / "tables" / "0" / "wmo"
    out = []
    for entry in sorted(base.iterdir(), key=lambda p: p.name):
        if entry.is_dir():
            out.append(entry)
        elif entry.is_file():  # an alias file naming a sibling
            out.append(base / entry.read_text().strip())
    return out


def test_every_local_table_loads_with_independent_counts(definitions_root, tmp_path):
    # Every local element table of the installed definitions, beside its
    # sequence table or an empty one where the directory has none.
    base = definitions_root / "bufr" / "tables" / "0" / "local"
    failed = {}
    for i, path in enumerate(sorted(base.glob("*/*/*/element.table"))):
        d = tmp_path / str(i)
        d.mkdir()
        (d / "element.table").symlink_to(path)
        sequences = path.parent / "sequence.def"
        if sequences.is_file():
            (d / "sequence.def").symlink_to(sequences)
        else:
            (d / "sequence.def").write_text("")
        name = str(path.parent.relative_to(base))
        try:
            t = TableSet.from_eccodes(str(d))
        except ValueError as e:
            failed[name] = str(e)
            continue
        elements = read_element_table(path)
        assert t.element_count == len(elements), name
        for code, cols in elements.items():
            e = t.get_element(code)
            assert [e.name, e.unit, e.scale, e.width] == [cols[3], cols[4], int(cols[5]), int(cols[7])], (name, code)
    assert len(failed) < 2, failed
    # One table writes a width with a trailing space, which integer fields refuse.
    assert failed in ({}, {"19-1/254/0": TABLE + 'bad u16 "3 ": invalid digit found in string'})


def test_every_wmo_version_loads_with_independent_counts(definitions_root):
    versions = wmo_versions(definitions_root)
    assert len(versions) >= 20
    rng = random.Random(3)
    for d in versions:
        t = TableSet.from_eccodes(str(d))
        elements = read_element_table(d / "element.table")
        sequences = read_sequence_def(d / "sequence.def")
        assert (t.element_count, t.sequence_count) == (len(elements), len(sequences)), d
        for code in rng.sample(sorted(elements), 25):
            e, cols = t.get_element(code), elements[code]
            got = [e.abbreviation, e.element_type, e.name, e.unit, e.scale, e.reference, e.width]
            assert got == cols[1:5] + [int(cols[5]), int(cols[6]), int(cols[7])], (d, code)
        for code in rng.sample(sorted(sequences), 25):
            assert t.get_sequence(code).members == sequences[code], (d, code)
        tables = sorted((d / "codetables").glob("*.table"))
        for path in rng.sample(tables, min(10, len(tables))):
            code = int(path.stem)
            for raw, meaning in read_code_table(path).items():
                assert t.get_meaning(code, raw) == meaning, (path, raw)

