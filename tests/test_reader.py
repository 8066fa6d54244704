"""korvane.open: whole files, message offsets, columns against the per-value API, errors."""

from __future__ import annotations

import mmap
from fractions import Fraction
import warnings

import numpy as np
import pytest

import korvane
from korvane import _korvane
from bufr_builder import Bits, build
from datatables import ELEMENTS, make_tables
from tablefiles import table_dir
from shared_data import ED4 as CORPUS, read_json

INDEX = read_json(CORPUS / "index.json")
FILES = sorted(INDEX)


@pytest.mark.parametrize("name", FILES)
def test_offsets_and_headers_match_the_index(name, definitions_root):
    with korvane.open(CORPUS / name, definitions=definitions_root, errors="skip") as f:
        assert [(m.offset, m.length) for m in f] == [(e["offset"], e["total_length"]) for e in INDEX[name]]
        for m, e in zip(f, INDEX[name]):
            assert {k: getattr(m, k) for k in e if k != "offset"} == {k: v for k, v in e.items() if k != "offset"}


def _texts(objects):
    return [v.raw_text.rstrip(" \x00") if v.raw_text is not None else None
            for v in objects]


# The per-value module's texts, with the kind of the reader's error for the same failure.
PER_VALUE_KINDS = {"not enough bits while reading section 4": "data_ended", "was not found in Table": "unknown_descriptor"}


@pytest.mark.parametrize("name", FILES)
def test_columns_agree_with_the_per_value_api(name, definitions_root):
    with korvane.open(CORPUS / name, definitions=definitions_root) as f:
        for m in f:
            try:
                objects = _korvane.decode_values_with_tables(bytes(m.bytes), m.tables)
            except ValueError as e:
                # The same failure, told in the reader's words.
                with pytest.raises(korvane.DecodeError) as info:
                    m.decode()
                kind = next(k for text, k in PER_VALUE_KINDS.items() if text in str(e))
                assert (info.value.kind, info.value.offset) == (kind, m.offset)
                continue
            v = m.decode()
            assert len(v) == len(objects)
            assert v.code.tolist() == [o.descriptor for o in objects]
            text_item = np.isin(v.kind, (1, 4))
            expected = np.where(text_item, np.nan, [np.nan if o.raw_value is None else o.raw_value for o in objects])
            # Where the two differ, the reader multiplies by 10^-scale for a
            # negative scale (exact) and the per-value module divides by the
            # reciprocal (an ulp off); nothing else may differ.
            for i in np.flatnonzero(~((expected == v.value) | (np.isnan(expected) & np.isnan(v.value)))):
                e = m.tables.get_element(int(v.code[i]))
                assert e.scale < 0 and v.value[i] == float(Fraction(int(v.raw[i]) + e.reference) * 10 ** -e.scale)
                expected[i] = v.value[i]
            np.testing.assert_array_equal(expected, v.value)
            assert v.missing.tolist() == [o.raw_value is None or (t and o.raw_text is None)
                                          for o, t in zip(objects, text_item)]
            assert [t if k else None for t, k in zip(_texts(objects), text_item)] == v.text.tolist()
            assert v.raw[~text_item].tolist() == [o.raw for o, t in zip(objects, text_item) if not t]
            assert v.subset_bounds[-1] == len(v) and len(v.subset_bounds) == m.number_of_subsets + 1
            w = m.decode()  # arrays laid out in the opposite order are the same arrays
            for name in ("raw", "value", "missing", "kind", "code"):
                np.testing.assert_array_equal(getattr(w, name), getattr(v, name))


def test_buffers_are_viewed_like_files(definitions_root):
    path = CORPUS / "ISMD01_OKPR.bufr"
    data = path.read_bytes()
    with path.open("rb") as fh, mmap.mmap(fh.fileno(), 0, access=mmap.ACCESS_READ) as mm:
        for source in (data, bytearray(data), memoryview(data), mm, str(path)):
            with korvane.open(source, definitions=definitions_root) as f:
                assert [m.offset for m in f] == [e["offset"] for e in INDEX[path.name]]
                np.testing.assert_array_equal(f[-1].decode().value, korvane.open(path)[-1].decode().value)


@pytest.fixture(scope="module")
def tables(tmp_path_factory):
    root = tmp_path_factory.mktemp("tables")
    make_tables(root, ELEMENTS, {})
    return _korvane.TableSet.from_eccodes(str(root))


GOOD = build(descriptors=[1001], data=Bits().uint(7, 7).to_bytes())


@pytest.mark.parametrize(
    "layout, reason",
    [
        # A message whose end marker is damaged, between good ones.
        (lambda bad: GOOD + bad + GOOD, ("damaged", "the message does not end with 7777")),
        # A truncated last message: it declares more bytes than remain.
        (lambda bad: GOOD + GOOD + bad[:20],
         ("truncated", "message cut short: it declares 48 bytes, but the input ends 20 bytes after its start")),
    ],
)
def test_a_damaged_message_hides_nothing_else(tables, layout, reason):
    data = b"HEADING\r\n" + layout(GOOD[:-1] + b"8")
    if reason[0] == "damaged":
        with pytest.raises(korvane.DecodeError) as info:
            korvane.open(data, tables=tables)
    else:  # a last message still being written: those before it are read, and iteration raises at it
        f = korvane.open(data, tables=tables)
        decoded = []
        with pytest.raises(korvane.DecodeError) as info:
            decoded.extend(m.decode().value.tolist() for m in f)
        assert len(f) == 2 and decoded == [[7.0], [7.0]]
    assert info.value.index == 1 if reason[0] == "damaged" else 2
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        f = korvane.open(data, tables=tables, errors="warn")
    assert [str(w.message) for w in caught] == [str(e) for e in f.errors] and len(f.errors) == 1
    assert (f.errors[0].source, f.errors[0].kind, f.errors[0].reason) == ("<buffer>", *reason)
    assert len(f) == 2 and all(m.decode().value.tolist() == [7.0] for m in f)
    assert korvane.open(data, tables=tables, errors="skip").errors[0].offset == f.errors[0].offset
    assert f.errors[0].offset == (9 + len(GOOD) if reason[0] == "damaged" else len(data) - 20)


@pytest.mark.parametrize("data", [b"", b"no messages here", b"BUFR"])
def test_buffers_without_messages(tables, data):
    f = korvane.open(data, tables=tables, errors="skip")
    assert len(f) == 0 and len(f.errors) == (1 if data == b"BUFR" else 0)


@pytest.mark.parametrize(
    "descriptors, subsets, compressed, payload",
    [
        # Placeholder columns read no bits: 255 x 255 columns of 65535 items.
        ([102255, 101255, 222000], 65535, True, 1077),
        # Operators and empty elements repeated in uncompressed data.
        ([103255, 102255, 101255, 222000], 1, False, 1 << 16),
    ],
)
def test_items_are_bounded_by_the_data(tables, descriptors, subsets, compressed, payload):
    message = build(descriptors=descriptors, data=b"\x00" * payload, subsets=subsets, compressed=compressed)
    with pytest.raises(korvane.DecodeError, match="items for .* bits of data"):
        korvane.open(message, tables=tables)[0].decode()


@pytest.mark.parametrize(
    "descriptors, subsets, compressed, payload",
    [
        # 100 x 100 groups of an operator in each of 65535 subsets, from 24 bytes.
        ([12101, 102100, 101100, 201129], 65535, True, 24),
        # 20 x 255 x 100 groups of an operator, the steps they take within their bound.
        ([103020, 102255, 101100, 201000], 1, False, 1 << 16),
    ],
)
def test_group_occurrences_are_bounded_by_the_data(tables, descriptors, subsets, compressed, payload):
    message = build(descriptors=descriptors, data=b"\x00" * payload, subsets=subsets, compressed=compressed)
    m = korvane.open(message, tables=tables)[0]
    with pytest.raises(korvane.DecodeError, match="more than [0-9]+ occurrences of replicated groups"):
        m.decode(structure=True)
    m.decode()  # without them, the items alone are within their bound


def test_structure_records_replicated_groups(tables):
    # Two subsets, each 2 x (1001), then a fixed 1 x (1002).
    data = Bits()
    for _ in range(2):
        data.uint(2, 8).uint(1, 7).uint(2, 7).uint(3, 10)
    message = build(descriptors=[101000, 31001, 1001, 101001, 1002], data=data.to_bytes(), subsets=2)
    v = korvane.open(message, tables=tables)[0].decode(structure=True)
    g = v.groups
    assert list(zip(g["begin"], g["end"], g["subset"])) == [(1, 2, 0), (2, 3, 0), (3, 4, 0), (5, 6, 1), (6, 7, 1),
                                                            (7, 8, 1)]
    assert g["node"].tolist() == [0, 0, 1, 0, 0, 1] and (g["parent"] == -1).all()


@pytest.mark.parametrize("name", ["ISMD01_OKPR.bufr", "uegabe.bufr"])
def test_older_editions_give_the_same_objects(name, definitions_root, tmp_path):
    # The same message as edition 3: section 1 in its edition 3 layout.
    f = korvane.open(CORPUS / name, definitions=definitions_root)
    m = f[0]
    h = m.header
    body = bytes([h["master_table_number"], h["originating_subcentre"], h["originating_centre"],
                  h["update_sequence_number"], 0x80 if h["local_section_present"] else 0, h["data_category"],
                  h["local_data_subcategory"], h["master_tables_version_number"],
                  h["local_tables_version_number"], h["typical_year"] - 2000, h["typical_month"],
                  h["typical_day"], h["typical_hour"], h["typical_minute"], 0])
    section1 = (3 + len(body)).to_bytes(3, "big") + body
    rest = bytes(m.bytes[8 + h["section1_length"]:])
    ed3 = b"BUFR" + (8 + len(section1) + len(rest)).to_bytes(3, "big") + b"\x03" + section1 + rest
    old = korvane.open(ed3, definitions=definitions_root)[0]
    assert old.edition == 3 and old.typical_year == m.typical_year
    assert [repr(v) for v in old.decode_objects()] == [repr(v) for v in m.decode_objects()]
    np.testing.assert_array_equal(old.decode().value, m.decode().value)


@pytest.mark.parametrize("version, used, warns", [(12, 13, False), (14, 15, False), (16, 15, True)])
def test_a_master_version_not_installed_uses_the_next_later_else_the_newest(tmp_path, version, used, warns):
    for v in (13, 15):
        table_dir(tmp_path / f"bufr/tables/0/wmo/{v}",
                  element=f"001001|blockNumber|long|BLOCK {v}|Numeric|0|0|7|Numeric|0|2\n", sequence="")
    m = korvane.open(build(descriptors=[1001], data=Bits().uint(7, 7).to_bytes(), master_version=version),
                     definitions=tmp_path)[0]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert m.tables.get_element(1001).name == f"BLOCK {used}"
    # The tables korvane carries hold these versions: the warning says how to read with them.
    assert [str(w.message) for w in caught] == ([f"master table version {version} is newer than the tables "
                                                 f"installed in {tmp_path}; using version {used}; the tables korvane "
                                                 f"carries hold version {version}: pass definitions="
                                                 "korvane.carried_definitions() (korvane --definitions \"$(python3 -c "
                                                 "'import korvane; print(korvane.carried_definitions())')\")"]
                                                if warns else [])


def test_a_master_version_newer_than_the_tables_uses_the_newest(definitions_root):
    newest = max(int(p.name) for p in (definitions_root / "bufr/tables/0/wmo").iterdir() if p.name.isdigit())
    message = build(descriptors=[1001], data=Bits().uint(7, 7).to_bytes(), master_version=newest + 1)
    m = korvane.open(message, definitions=definitions_root)[0]
    with pytest.warns(UserWarning, match=f"master table version {newest + 1} is newer .* using version {newest}"):
        assert m.decode().value.tolist() == [7.0]


def test_the_carried_tables_read_a_version_the_system_lacks(definitions_root):
    newest = max(int(p.name) for p in (definitions_root / "bufr/tables/0/wmo").iterdir() if p.name.isdigit())
    message = build(descriptors=[1001], data=Bits().uint(7, 7).to_bytes(), master_version=newest + 1)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        m = korvane.open(message, definitions=korvane.carried_definitions())[0]
        assert m.decode().value.tolist() == [7.0]


def test_iterating_a_file_holds_one_message_at_a_time(tables):
    import tracemalloc

    data = GOOD * 5000
    with korvane.open(data, tables=tables) as f:
        tracemalloc.start()
        for m in f:
            m.number_of_subsets
        _, peak = tracemalloc.get_traced_memory()
        tracemalloc.stop()
    assert peak < 256 * 1024  # a message object is held for a moment, not five thousand of them
