"""Descriptor expansion: sequences, replication, associated-field markers,
limits, argument rules, and the messages of the corpus."""

from __future__ import annotations

from pathlib import Path

import pytest

from korvane import _korvane
from korvane._korvane import TableSet
from tablefiles import read_element_table, read_sequence_def, table_dir

TABLE = "csv/table parse error: "

CHAIN = "".join(f"{340000 + k} = [ {340001 + k} ]\n" for k in range(1, 65)) + "340065 = [ 001001 ]\n"
SEQUENCES = (
    "301001 = [ 001001, 001002 ]\n"
    "301002 = [ 204008, 012001 ]\n"
    "301003 = [ ]\n"
    "309000 = [ 001001, 309000 ]\n"
    "309001 = [ 309002 ]\n"
    "309002 = [ 309001 ]\n"
    "301004 = [ 101002, 301001 ]\n"
    "301005 = [ 400000 ]\n"
) + CHAIN


@pytest.fixture(scope="module")
def tables(tmp_path_factory) -> TableSet:
    return TableSet.from_eccodes(str(table_dir(tmp_path_factory.mktemp("expand"), sequence=SEQUENCES)))


@pytest.mark.parametrize(
    "codes, expected",
    [
        ([], []),
        ([1001], [1001]),
        ([5], [5]),
        ([301001], [1001, 1002]),
        ([301003, 1001], [1001]),
        ([301004], [1001, 1002, 1001, 1002]),
        ([102002, 1001, 1002], [1001, 1002, 1001, 1002]),
        ([103002, 101002, 1001, 2001, 3001], [1001, 1001, 2001] * 2 + [3001]),
        ([101000, 31001, 1001], [31001, 1001]),
        ([102000, 31002, 1001, 1002, 3001], [31002, 1001, 1002, 3001]),
        ([204008, 31021, 12001, 204000, 12002], [31021, 999999, 12001, 12002]),
        ([301002, 12002, 31000], [999999, 12001, 999999, 12002, 31000]),
        ([204001, 101002, 301001], [999999, 1001, 999999, 1002] * 2),
        ([201129, 202130, 12001, 201000, 202000], [12001]),
        ([206008, 207001, 208010, 1001], [1001]),
        ([222000, 236000, 101000, 31002, 31031], [222000, 236000, 31002, 31031]),
        ([203014, 205003, 209001, 299255], [203014, 205003, 209001, 299255]),
        ([25600000], [25600000]),
        ([101257, 1001], [1001]),
        ([340002], [1001]),  # a chain of 64 sequences
    ],
)
def test_expansion(tables, codes, expected):
    assert tables.expand(codes) == expected
    assert tables.expand(tuple(codes)) == expected
    assert tables.expand(descriptors=codes) == expected


@pytest.mark.parametrize(
    "codes, text",
    [
        ([101000, 31001], "delayed replication descriptor 101000 is missing its replication factor or replicated descriptors"),
        ([102002, 1001], "unsupported replication descriptor 102002"),
        ([100002, 1001], "unsupported replication descriptor 100002"),
        ([100000, 31001, 1001], "unsupported replication descriptor 100000"),
        ([1001, 101000], "unsupported replication descriptor 101000"),
        ([400000], TABLE + "invalid descriptor 400000"),
        ([1000000], TABLE + "invalid descriptor 1000000"),
        ([301005], TABLE + "invalid descriptor 400000"),
        ([309999], "descriptor 309999 was not found in Table D"),
        ([63255], None),  # an element: Table B is not consulted
        ([309000], TABLE + "sequence expansion exceeded recursion depth"),
        ([309001], TABLE + "sequence expansion exceeded recursion depth"),
        ([340001], TABLE + "sequence expansion exceeded recursion depth"),
        ([309999, 400000], "descriptor 309999 was not found in Table D"),
        ([400000, 309999], TABLE + "invalid descriptor 400000"),
    ],
)
def test_expansion_failures(tables, codes, text):
    if text is None:
        assert tables.expand(codes) == codes
        return
    with pytest.raises(ValueError) as info:
        tables.expand(codes)
    assert type(info.value) is ValueError and info.value.args == (text,)


def test_depth_is_checked_before_an_empty_list(tmp_path):
    # From 350001, 65 nested sequences: the empty members of the last lie at depth 65.
    text = "".join(f"{350000 + k} = [ {350001 + k} ]\n" for k in range(65)) + "350065 = [ ]\n"
    t = TableSet.from_eccodes(str(table_dir(tmp_path, sequence=text)))
    assert t.expand([350002]) == []
    with pytest.raises(ValueError, match="exceeded recursion depth"):
        t.expand([350001])


def test_output_bound(tables):
    # 255**4 copies of one element would take tens of gigabytes as a list.
    with pytest.raises(ValueError) as info:
        tables.expand([104255, 103255, 102255, 101255, 1001])
    assert str(info.value) == TABLE + "descriptor expansion exceeds 1048576 codes"
    # A large expansion below the bound still works.
    out = tables.expand([102255, 101255, 1001, 201001])
    assert len(out) == 255 * 255 and set(out) == {1001}


def test_work_bound_when_nothing_is_appended(tables):
    # Replicated operators that add nothing to the output must not run for 255**10 steps.
    with pytest.raises(ValueError) as info:
        tables.expand([100255 + 1000 * k for k in range(10, 0, -1)] + [201001])
    assert str(info.value) == TABLE + "descriptor expansion exceeds 4194304 descriptor visits"


@pytest.mark.parametrize(
    "arg, exc, text",
    [
        ("301001", TypeError, "argument 'descriptors': Can't extract `str` to `Vec`"),
        ({301001}, TypeError, "argument 'descriptors': "),
        ({301001: 1}, TypeError, "argument 'descriptors': "),
        (iter([301001]), TypeError, "argument 'descriptors': "),
        ((c for c in [301001]), TypeError, "argument 'descriptors': "),
        ([1001, "x"], TypeError, "argument 'descriptors': "),
        ([1001, 1.0], TypeError, "argument 'descriptors': "),
        ([-1], OverflowError, "out of range integral type conversion attempted"),
        ([2**32], OverflowError, "out of range integral type conversion attempted"),
        ([2**70], OverflowError, ""),
    ],
)
def test_descriptor_argument_rules(tables, arg, exc, text):
    with pytest.raises(exc) as info:
        tables.expand(arg)
    assert type(info.value) is exc and str(info.value).startswith(text)


def test_range_and_tuple_are_sequences(tables):
    assert tables.expand(range(1001, 1004)) == [1001, 1002, 1003]


# ---- expand_descriptors -------------------------------------------------------


def test_expand_descriptors(tmp_path):
    d = str(table_dir(tmp_path / "t", sequence=SEQUENCES))
    assert _korvane.expand_descriptors(d, [301004]) == [1001, 1002, 1001, 1002]
    assert _korvane.expand_descriptors(descriptors=(301001,), table_dir=d) == [1001, 1002]
    with pytest.raises(ValueError, match="^descriptor 309999 was not found in Table D$"):
        _korvane.expand_descriptors(d, [309999])


@pytest.mark.parametrize(
    "args, exc, text",
    [
        ((123, "x"), TypeError, "argument 'table_dir': "),  # table_dir is converted first
        ((Path("/"), [1]), TypeError, "argument 'table_dir': "),
        (("/nonexistent", "1"), TypeError, "argument 'descriptors': Can't extract `str` to `Vec`"),
        (("/nonexistent", []), ValueError, TABLE + "No such file or directory (os error 2)"),
        (("/nonexistent", [400000]), ValueError, TABLE + "No such file or directory (os error 2)"),
    ],
)
def test_expand_descriptors_order_of_failures(args, exc, text):
    with pytest.raises(exc) as info:
        _korvane.expand_descriptors(*args)
    assert type(info.value) is exc and str(info.value).startswith(text)


# ---- the corpus ---------------------------------------------------------------


def reference_expand(sequences: dict[int, list[int]], codes: list[int]) -> list[int]:
    """The expansion rules written out plainly, for real messages."""
    out: list[int] = []
    assoc = 0

    def walk(codes: list[int], depth: int) -> None:
        nonlocal assoc
        assert depth <= 64
        i = 0
        while i < len(codes):
            c = codes[i]
            f, x, y = c // 100000, c // 1000 % 100, c % 1000
            if f == 0:
                out.extend([999999, c] if assoc and x != 31 else [c])
                i += 1
            elif f == 1:
                if y:
                    for _ in range(y):
                        walk(codes[i + 1 : i + 1 + x], depth + 1)
                    i += x + 1
                else:
                    walk(codes[i + 1 : i + 2 + x], depth + 1)
                    i += x + 2
            elif f == 2:
                if x == 4:
                    assoc = y
                elif x not in (1, 2, 6, 7, 8):
                    out.append(c)
                i += 1
            else:
                walk(sequences[c], depth + 1)
                i += 1

    walk(codes, 0)
    return out


def corpus_messages(corpus_dir: Path):
    for path in sorted((corpus_dir / "ed4").glob("*.bufr")):
        for index, m in enumerate(_korvane.parse_all_file(str(path))):
            yield f"{path.name}#{index}", m


def test_corpus_messages_expand(corpus_dir, definitions_root):
    tables_root = definitions_root / "bufr" / "tables"
    expanded = needed_local = 0
    for name, m in corpus_messages(corpus_dir):
        wmo = tables_root / str(m.master_table_number) / "wmo" / str(m.master_tables_version_number)
        if not wmo.exists():
            continue
        t = TableSet.from_definitions(str(definitions_root), m)
        out = t.expand(m.unexpanded_descriptors)

        # The tables chosen: WMO ones, then the centre's local ones over them.
        element_table = read_element_table(wmo / "element.table")
        sequences = read_sequence_def(wmo / "sequence.def")
        local = (
            tables_root / str(m.master_table_number) / "local" / str(m.local_tables_version_number)
            / str(m.originating_centre) / str(m.originating_subcentre)
        )
        if m.local_tables_version_number and (local / "element.table").exists():
            element_table.update(read_element_table(local / "element.table"))
        if m.local_tables_version_number and (local / "sequence.def").exists():
            sequences.update(read_sequence_def(local / "sequence.def"))
        assert (t.element_count, t.sequence_count) == (len(element_table), len(sequences)), name
        assert out == reference_expand(sequences, m.unexpanded_descriptors), name

        # Every element of the expansion is defined once the local tables are in.
        elements = [c for c in out if c < 100000]
        assert elements and all(t.get_element(c) is not None for c in elements), name
        wmo_only = TableSet.from_eccodes(str(wmo))
        if any(wmo_only.get_element(c) is None for c in elements):
            needed_local += 1
        expanded += 1
    assert expanded >= 60
    assert needed_local >= 10  # the centre 98 local tables carry elements the WMO tables lack
