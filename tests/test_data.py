"""Decoding section 4: values, operators, replication, bitmaps, associated
fields, compressed columns, the bounds on hostile input, and the decoding
entry points. Messages are synthetic (bufr_builder) over small tables."""

from __future__ import annotations

import gc
from pathlib import Path

import pytest

from korvane import _korvane
from bufr_builder import Bits, build
from datatables import ELEMENTS, decode, make_tables, shown

PREFIX = "csv/table parse error: "

EXTRA = [
    (13001, "HEIGHT", "m", 0, 0, 12),
    (12003, "DEW POINT", "K", 2, -1000, 12),
    (20010, "TENTHS", "Numeric", 1, 0, 10),
    (60001, "SMALL", "Numeric", 6, 0, 8),
    (60002, "BIG", "Numeric", 0, 10**16, 1),
    (60003, "HALVES", "Numeric", 1, -5, 4),
    (60004, "TEN THOUSANDTHS", "Numeric", 4, 0, 4),
    (60005, "ALMOST BIG", "Numeric", 0, 9999999999999998, 1),
    (60010, "HUGE REFERENCE", "Numeric", 0, 9000000000000000000, 8),
    (60011, "HUGE WIDTH", "Numeric", 0, 0, 65535),
    (60012, "FAR SCALE", "Numeric", -400, 0, 8),
    (63063, "W63", "Numeric", 0, 0, 63),
    (31011, "NEGATIVE FACTOR", "Numeric", 0, -100, 8),
    (31012, "HUGE FACTOR", "Numeric", 0, 10**18, 8),
    (31013, "INFINITE FACTOR", "Numeric", -400, 0, 8),
]
SEQUENCES = {
    300001: [1001, 1002],
    300002: [300002],
    300003: [400000],
    300004: [1001, 300099],
    # A chain of 64 nested sequences around 0 01 001, and one of 65.
    **{310000 + i: [310000 + i + 1] for i in range(63)},
    310063: [1001],
    **{320000 + i: [320000 + i + 1] for i in range(64)},
    320064: [1001],
}


@pytest.fixture(scope="module")
def tables(tmp_path_factory):
    return make_tables(tmp_path_factory.mktemp("data"), ELEMENTS + EXTRA, SEQUENCES)


def error_of(call) -> str:
    with pytest.raises(ValueError) as info:
        call()
    assert type(info.value) is ValueError
    return str(info.value)


def bits(*fields: tuple[int, int]) -> Bits:
    """Bits from (value, width) pairs; a str value is a text of width bits."""
    b = Bits()
    for value, width in fields:
        if isinstance(value, (str, bytes)):
            b.text(value, width)
        else:
            b.uint(value, width)
    return b


# ---- numeric and character elements -----------------------------------------------


def test_numeric_value_from_scale_and_reference(tables):
    t, p, lat = decode(tables, [12001, 10004, 5001], bits((2831, 12), (10132, 14), (13966944, 25)))
    assert (t.descriptor, t.name, t.raw, t.raw_value) == (12001, "TEMPERATURE", 2831, 273.1)
    assert (t.raw_text, t.raw_meaning, t.data) == (None, None, 273.1)
    # A negative scale divides by 0.1 as a float, it does not multiply by 10.
    assert p.raw_value == 10132 / 0.1
    assert lat.raw_value == 49.66944


def test_all_ones_is_missing_except_in_class_31(tables):
    block, region, factor = decode(tables, [1001, 1003, 31001], bits((127, 7), (7, 3), (255, 8)))
    assert (block.raw, block.raw_value, block.data) == (127, None, None)
    assert repr(block) == "DecodedValue(001001, None)"
    # The code table has an entry for the all-ones value: it is shown.
    assert (region.raw_value, region.raw_meaning, region.data) == (None, "MISSING VALUE", "MISSING VALUE")
    assert factor.raw_value == 255.0


def test_code_table_meaning_is_the_shown_value(tables):
    manned, unlisted = decode(tables, [2001, 2001], bits((1, 2), (2, 2)))
    assert (manned.raw_value, manned.raw_meaning, manned.data) == (1.0, "MANNED STATION", "MANNED STATION")
    assert repr(manned) == 'DecodedValue(002001, "MANNED STATION")'
    assert (unlisted.raw_meaning, unlisted.data) == (None, 2.0)


@pytest.mark.parametrize(
    "code, raw, width, text",
    [
        (1001, 0, 7, "Some(0.0)"),
        (1001, 1, 7, "Some(1.0)"),
        (12101, 27315, 16, "Some(273.15)"),
        (60001, 15, 8, "Some(1.5e-5)"),
        (60002, 0, 1, "Some(1e16)"),
        (60003, 0, 4, "Some(-0.5)"),
        (60004, 1, 4, "Some(0.0001)"),
        (60005, 0, 1, "Some(9999999999999998.0)"),
    ],
)
def test_repr_writes_the_shortest_float(tables, code, raw, width, text):
    (v,) = decode(tables, [code], bits((raw, width)))
    assert repr(v) == f"DecodedValue({code:06d}, {text})"


@pytest.mark.parametrize(
    "raw, text, shown_as",
    [
        (b"AB  ", "AB", '"AB"'),
        (b"  AB", "  AB", '"  AB"'),
        (b"AB\t\r", "AB", '"AB"'),
        (b"A\xe9B ", "A?B", '"A?B"'),
        (b"AB\x00\x00", "AB\x00\x00", '"AB\\0\\0"'),
        (b'A"\\ ', 'A"\\', '"A\\"\\\\"'),
        (b"\xff\xff\xff\xff", None, "Some(1004.0)"),
    ],
)
def test_character_text(tables, raw, text, shown_as):
    (v,) = decode(tables, [1019], bits((raw, 32)))
    assert (v.descriptor, v.raw_text, v.raw, v.raw_meaning) == (1019, text, None, None)
    # The text index: first text of the message, 32 bits = 4 bytes.
    assert v.raw_value == 1004.0
    assert v.data == text  # a missing text has no data
    assert repr(v) == f"DecodedValue(001019, {shown_as})"


def test_text_numbering_continues_into_the_next_subset(tables):
    data = bits(("FIRST", 160), (1, 7), ("SECOND", 160), (2, 7))
    vals = decode(tables, [1015, 1001], data, subsets=2)
    assert shown(vals) == [(1015, "FIRST"), (1001, 1.0), (1015, "SECOND"), (1001, 2.0)]
    assert [vals[0].raw_value, vals[2].raw_value] == [1020.0, 2020.0]


def test_placeholders_and_associated_fields(tables):
    vals = decode(tables, [222000, 204004, 31021, 1001, 204000, 1002], bits((6, 6), (5, 4), (10, 7), (300, 10)))
    place, sig, assoc, block, station = vals
    assert (place.descriptor, place.name, place.raw_value, place.raw, place.data) == (222000, "operator", 0.0, 0, 0.0)
    assert repr(place) == "DecodedValue(222000, Some(0.0))"
    # Class 31 (0 31 021) has no associated field; 0 01 001 has one of 4 bits.
    assert (sig.descriptor, sig.raw) == (31021, 6)
    assert (assoc.descriptor, assoc.name, assoc.raw, assoc.raw_value) == (999999, "associatedField", 5, 5.0)
    assert repr(assoc) == "DecodedValue(999999, Some(5.0))"
    assert (block.raw, station.raw) == (10, 300)  # 2 04 000 ends associated fields


# ---- operators ------------------------------------------------------------------


@pytest.mark.parametrize(
    "descriptors, fields, expected",
    [
        # 2 01: width change for numeric elements, 2 01 000 ends it.
        ([201130, 1002, 201000, 1002], [(1234, 12), (1000, 10)], [(1002, 1234.0), (1002, 1000.0)]),
        # 2 02: scale change.
        ([202129, 12101], [(27315, 16)], [(12101, 27.315)]),
        # 2 07 002 on scale 2, reference -1000, width 12: 19 bits, scale 4,
        # reference -100000.
        ([207002, 12003], [(400000, 19)], [(12003, 30.0)]),
        # 2 07 replaces the width change of 2 01: +4, not +2+4.
        ([201130, 207001, 1002], [(5000, 14)], [(1002, 500.0)]),
        # 2 07 000 cancels the changes of 2 01 and 2 07 alike.
        ([201130, 207001, 207000, 1002], [(999, 10)], [(1002, 999.0)]),
        # 2 06: a local width for the next element only.
        ([206008, 12101, 12101], [(200, 8), (27315, 16)], [(12101, 2.0), (12101, 273.15)]),
        # 2 08: character width, 2 08 000 restores the element's width.
        ([208002, 1019, 208000, 1019], [("AB", 16), ("CDEF", 32)], [(1019, "AB"), (1019, "CDEF")]),
        # A width lowered to zero reads nothing: missing, but not in class 31.
        ([201121, 1001, 201120, 31001], [], [(1001, None), (31001, 0.0)]),
        # Code and flag tables keep their Table B width, scale and reference
        # under 2 01, 2 02 and 2 07, whatever the letter case of their unit.
        ([201130, 2001, 2002, 2003, 1003], [(1, 2), (5, 4), (9, 4), (1, 3)],
         [(2001, "MANNED STATION"), (2002, 5.0), (2003, 9.0), (1003, "REGION I")]),
        ([207003, 202131, 2001, 2002], [(0, 2), (14, 4)], [(2001, "AUTOMATIC STATION"), (2002, 14.0)]),
        # ... but a local width (2 06) still applies to them.
        ([206005, 2001, 2001], [(17, 5), (1, 2)], [(2001, 17.0), (2001, "MANNED STATION")]),
    ],
)
def test_operators(tables, descriptors, fields, expected):
    assert shown(decode(tables, descriptors, bits(*fields))) == expected


def test_local_width_before_delayed_replication_sets_the_factor(tables):
    # The factor is read with 4 bits (2 repetitions) and does not clear the
    # local width, so the first replicated element is read with 4 bits too.
    vals = decode(tables, [206004, 101000, 31001, 1001, 1001], bits((2, 4), (9, 4), (100, 7), (101, 7)))
    assert [v.raw for v in vals] == [2, 9, 100, 101]


# ---- changed reference values (2 03), character insertion (2 05) --------------------


def signed(value: int, width: int) -> int:
    return (1 << (width - 1)) | -value if value < 0 else value


def test_changed_reference_values(tables):
    # 0 12 001 (reference -100) gets -50, then +30, then Table B's back.
    descriptors = [203010, 12001, 203255, 12001, 203010, 12001, 203255, 12001, 203000, 12001]
    data = bits((signed(-50, 10), 10), (2831, 12), (30, 10), (2831, 12), (2831, 12))
    assert shown(decode(tables, descriptors, data)) == [(12001, 278.1), (12001, 286.1), (12001, 273.1)]


def test_changed_reference_definitions_are_no_data_items(tables):
    # No value, no associated field (2 04 004 is in force), no history entry:
    # the two-entry bitmap covers 0 31 021 and 0 12 001, so its first entry,
    # present, is 0 31 021.
    descriptors = [204004, 31021, 203010, 12001, 203255, 204000, 12001, 222000, 101002, 31031, 223255]
    data = bits((6, 6), (signed(-50, 10), 10), (2831, 12), (0, 1), (1, 1), (7, 6))
    vals = decode(tables, descriptors, data)
    assert [v.descriptor for v in vals] == [31021, 12001, 222000, 31031, 31031, 31021]
    assert (vals[1].raw_value, vals[-1].raw) == (278.1, 7)


def test_changed_reference_is_scaled_by_2_07_but_spares_code_tables(tables):
    descriptors = [203010, 12001, 1003, 203255, 207001, 12001, 1003]
    # 0 12 001 under 2 07 001: 16 bits, scale 2, reference -50 * 10.
    data = bits((signed(-50, 10), 10), (3, 10), (30000, 16), (1, 3))
    assert shown(decode(tables, descriptors, data)) == [(12001, 295.0), (1003, "REGION I")]


def test_character_insertion(tables):
    descriptors = [1019, 208001, 205003, 208000, 205000, 1019]
    vals = decode(tables, descriptors, bits(("ABCD", 32), ("XY ", 24), ("EFGH", 32)))
    assert shown(vals) == [(1019, "ABCD"), (205003, "XY"), (1019, "EFGH")]
    inserted = vals[1]
    assert (inserted.name, inserted.raw, inserted.raw_meaning) == ("text", None, None)
    # Numbered with the character elements: k * 1000 + 3 characters.
    assert [v.raw_value for v in vals] == [1004.0, 2003.0, 3004.0]


# ---- bitmaps ---------------------------------------------------------------------


def test_bitmap_defined_by_2_36_000(tables):
    descriptors = [1001, 1002, 4001, 12101, 10004, 222000, 236000, 101005, 31031,
                   223000, 223255, 223255, 223255]
    data = bits((10, 7), (200, 10), (2024, 12), (27315, 16), (10132, 14),
                (0, 1), (1, 1), (0, 1), (1, 1), (1, 1), (11, 7), (2025, 12))
    vals = decode(tables, descriptors, data)
    assert [v.descriptor for v in vals] == [1001, 1002, 4001, 12101, 10004, 222000, 236000,
                                           31031, 31031, 31031, 31031, 31031, 223000, 1001, 4001]
    assert [v.raw for v in vals[7:12]] == [0, 1, 0, 1, 1]
    assert [v.raw_value for v in vals[-2:]] == [11.0, 2025.0]


def test_bitmap_that_follows_2_23_000_is_used(tables):
    # No 2 36 000: the indicators after 2 23 000 are its bitmap.
    descriptors = [1001, 1002, 12101, 223000, 101003, 31031, 223255, 223255]
    data = bits((10, 7), (200, 10), (27315, 16), (1, 1), (1, 1), (0, 1), (27415, 16))
    vals = decode(tables, descriptors, data)
    assert shown(vals)[3:] == [(223000, 0.0), (31031, "DATA NOT PRESENT"), (31031, "DATA NOT PRESENT"),
                               (31031, 0.0), (12101, 274.15)]


@pytest.mark.parametrize(
    "cancel, substituted",
    [
        # The backward reference set at the first 2 23 000 stays: the second
        # bitmap also covers 0 01 001.
        ([], 1001),
        # 2 35 000 ends it: the second bitmap covers the element before it.
        ([235000], 1002),
    ],
)
def test_bitmap_backward_reference(tables, cancel, substituted):
    descriptors = [1001, 223000, 101001, 31031, *cancel, 1002, 223000, 101001, 31031, 223255]
    data = bits((10, 7), (0, 1), (200, 10), (0, 1), (55, 7 if substituted == 1001 else 10))
    vals = decode(tables, descriptors, data)
    assert (vals[-1].descriptor, vals[-1].raw) == (substituted, 55)


def test_quality_bitmap_then_substitution_bitmap_share_the_reference(tables):
    descriptors = [1001, 1002, 12101, 222000, 101003, 31031, 33007, 223000, 101003, 31031, 223255, 237000, 223255]
    data = bits((10, 7), (200, 10), (27315, 16), (0, 1), (1, 1), (1, 1), (90, 7),
                (1, 1), (0, 1), (1, 1), (300, 10), (301, 10))
    vals = decode(tables, descriptors, data)
    # 2 37 000 uses the last bitmap again from its start.
    assert [(v.descriptor, v.raw) for v in vals if v.descriptor == 1002] == [(1002, 200), (1002, 300), (1002, 301)]


def test_difference_statistics_marker_widens_and_lowers_the_reference(tables):
    # Width 12, reference 0: read with 13 bits and reference -4096.
    vals = decode(tables, [13001, 225000, 101001, 31031, 225255], bits((100, 12), (0, 1), (4000, 13)))
    assert (vals[-1].descriptor, vals[-1].raw, vals[-1].raw_value) == (13001, 4000, -96.0)


def test_bitmap_reference_outside_history(tables):
    data = bits((10, 7), (1, 1), (1, 1), (0, 1))
    text = error_of(lambda: decode(tables, [1001, 236000, 101003, 31031, 223255], data))
    assert text == PREFIX + "bitmap reference is outside descriptor history"


# ---- replication, sequences and structural errors -----------------------------------


@pytest.mark.parametrize(
    "descriptors, fields, expected",
    [
        ([102003, 1001, 1002], [(1, 7), (2, 10), (3, 7), (4, 10), (5, 7), (6, 10)],
         [(1001, 1.0), (1002, 2.0), (1001, 3.0), (1002, 4.0), (1001, 5.0), (1002, 6.0)]),
        ([101000, 31001, 12101], [(0, 8)], [(31001, 0.0)]),
        ([101000, 31001, 12101], [(3, 8), (1, 16), (2, 16), (3, 16)],
         [(31001, 3.0), (12101, 0.01), (12101, 0.02), (12101, 0.03)]),
        ([101000, 31000, 1001], [(1, 1), (9, 7)], [(31000, 1.0), (1001, 9.0)]),
        # A factor outside class 31 can be missing: no repetition.
        ([101000, 1001, 12101], [(127, 7)], [(1001, None)]),
        # A negative factor gives no repetition.
        ([101000, 31011, 1001], [(0, 8)], [(31011, -100.0)]),
        # Sequences expand in place.
        ([300001, 1001], [(1, 7), (2, 10), (3, 7)], [(1001, 1.0), (1002, 2.0), (1001, 3.0)]),
    ],
)
def test_replication(tables, descriptors, fields, expected):
    assert shown(decode(tables, descriptors, bits(*fields))) == expected


def test_factor_255_is_not_missing(tables):
    vals = decode(tables, [101000, 31001, 1001], bits((255, 8), *[(i % 100, 7) for i in range(255)]))
    assert len(vals) == 256 and vals[-1].raw == 54


def test_associated_field_before_a_factor_outside_class_31(tables):
    descriptors = [204004, 31021, 101000, 31001, 1001, 101000, 1002, 1001]
    data = bits((6, 6), (1, 8), (3, 4), (10, 7), (9, 4), (1, 10), (4, 4), (11, 7))
    assert [v.descriptor for v in decode(tables, descriptors, data)] == [
        31021, 31001, 999999, 1001, 999999, 1002, 999999, 1001]


@pytest.mark.parametrize(
    "descriptors, text",
    [
        ([100000, 1001], "unsupported replication descriptor 100000"),
        ([103002, 1001, 1002], "unsupported replication descriptor 103002"),
        ([101000, 31001], "delayed replication descriptor 101000 is missing its replication factor or replicated descriptors"),
        ([101000, 31099, 1001], "descriptor 031099 was not found in Table B"),
        ([1099], "descriptor 001099 was not found in Table B"),
        ([300004], "descriptor 300099 was not found in Table D"),
        ([300003], PREFIX + "invalid descriptor 400000"),
        ([300002], PREFIX + "descriptor decode exceeded recursion depth"),
        ([320000], PREFIX + "descriptor decode exceeded recursion depth"),
    ],
)
@pytest.mark.parametrize("compressed", [False, True])
def test_structural_errors(tables, descriptors, text, compressed):
    if compressed and "recursion depth" in text:
        text = text.replace("descriptor decode", "compressed descriptor decode")
    data = bits((1, 7), (0, 6), (1, 8), (0, 6)) if compressed else bits((1, 7), (1, 8))
    assert error_of(lambda: decode(tables, descriptors, data, compressed=compressed)) == text


@pytest.mark.parametrize("compressed", [False, True])
def test_sixty_four_nested_levels_are_allowed(tables, compressed):
    data = bits((5, 7), (0, 6)) if compressed else bits((5, 7))
    assert shown(decode(tables, [310000], data, compressed=compressed)) == [(1001, 5.0)]


def test_empty_messages(tables):
    assert decode(tables, [1001], b"", subsets=0) == []
    assert decode(tables, [], b"\x00", subsets=3) == []
    assert decode(tables, [1001], bits((1, 7), (0, 6)), subsets=0, compressed=True) == []


# ---- compressed data ------------------------------------------------------------------


def test_compressed_numeric_column(tables):
    # R0 = 250, NBINC = 3, increments 0, 7 (all ones: missing), 5.
    vals = decode(tables, [20010], bits((250, 10), (3, 6), (0, 3), (7, 3), (5, 3)), subsets=3, compressed=True)
    assert [(v.raw, v.raw_value) for v in vals] == [(250, 25.0), (250, None), (255, 25.5)]


def test_compressed_all_missing_and_class_31(tables):
    vals = decode(tables, [20010, 31002], bits((1023, 10), (0, 6), (65535, 16), (0, 6)), subsets=3, compressed=True)
    assert [(v.descriptor, v.raw, v.raw_value) for v in vals] == [(20010, 1023, None), (31002, 65535, 65535.0)] * 3


def test_compressed_text_columns(tables):
    data = bits(("ABCD", 32), (0, 6), ("", 32), (2, 6), ("AB", 16), ("CD", 16), ("EF", 16))
    vals = decode(tables, [1019, 1019], data, subsets=3, compressed=True)
    assert shown(vals) == [(1019, "ABCD"), (1019, "AB"), (1019, "ABCD"), (1019, "CD"), (1019, "ABCD"), (1019, "EF")]
    # Numbered by column: (column * 3 + subset) * 1000 + 4.
    assert [v.raw_value for v in vals] == [1004.0, 4004.0, 2004.0, 5004.0, 3004.0, 6004.0]


def test_compressed_columns_are_transposed_into_subsets(tables):
    data = bits((1, 7), (2, 6), (0, 2), (1, 2), (2, 2), (100, 10), (0, 6))
    vals = decode(tables, [1001, 222000, 1002], data, subsets=3, compressed=True)
    assert shown(vals) == [(1001, 1.0), (222000, 0.0), (1002, 100.0),
                           (1001, 2.0), (222000, 0.0), (1002, 100.0),
                           (1001, 3.0), (222000, 0.0), (1002, 100.0)]


def test_compressed_delayed_replication(tables):
    data = bits((2, 8), (0, 6), (10, 7), (0, 6), (11, 7), (0, 6))
    vals = decode(tables, [101000, 31001, 1001], data, subsets=3, compressed=True)
    assert shown(vals) == [(31001, 2.0), (1001, 10.0), (1001, 11.0)] * 3
    varying = bits((2, 8), (2, 6), (0, 2), (1, 2), (0, 2))
    text = error_of(lambda: decode(tables, [101000, 31001, 1001], varying, subsets=3, compressed=True))
    assert text == PREFIX + "compressed delayed replication with varying factors is not implemented"


def test_compressed_associated_fields_skip_class_31(tables):
    data = bits((7, 6), (0, 6), (3, 8), (0, 6), (10, 7), (0, 6))
    vals = decode(tables, [204008, 31021, 1001], data, subsets=2, compressed=True)
    assert [(v.descriptor, v.raw) for v in vals] == [(31021, 7), (999999, 3), (1001, 10)] * 2


def test_compressed_bitmap_and_marker(tables):
    descriptors = [1001, 1002, 223000, 101002, 31031, 223255]
    data = bits((10, 7), (0, 6), (20, 10), (0, 6), (1, 1), (0, 6), (0, 1), (0, 6), (30, 10), (2, 6), (0, 2), (1, 2))
    vals = decode(tables, descriptors, data, subsets=2, compressed=True)
    assert [(v.descriptor, v.raw) for v in vals[-1::-6]] == [(1002, 31), (1002, 30)]


def test_compressed_changed_reference_and_character_insertion(tables):
    descriptors = [203010, 12001, 203255, 12001, 205002]
    data = bits((signed(-50, 10), 10), (0, 6), (2831, 12), (0, 6), ("AB", 16), (0, 6))
    vals = decode(tables, descriptors, data, subsets=2, compressed=True)
    assert shown(vals) == [(12001, 278.1), (205002, "AB")] * 2
    assert [v.raw_value for v in vals if v.descriptor == 205002] == [1002.0, 2002.0]
    differing = bits((signed(-50, 10), 10), (1, 6), (0, 1), (1, 1), (2831, 12), (0, 6))
    text = error_of(lambda: decode(tables, descriptors[:4], differing, subsets=2, compressed=True))
    assert text == PREFIX + "changed reference values differ between subsets"


def test_compressed_data_ending_in_the_increment_width(tables):
    text = error_of(lambda: decode(tables, [1001], bits((5, 7), (0, 1)), subsets=2, compressed=True))
    assert text == PREFIX + "not enough bits while reading section 4 at bit 7 for width 6 (8 bits available)"


# ---- sound handling of hostile input --------------------------------------------------


def test_reference_multiplier_beyond_64_bits_is_refused(tables):
    text = error_of(lambda: decode(tables, [207019, 206008, 12101], bits((1, 8))))
    assert text == PREFIX + "operator 207019 scales references by 10^19, which does not fit 64 bits"


def test_reference_times_multiplier_is_exact_beyond_64_bits(tables):
    # 9e18 * 10^18 overflows 64 bits; the value is formed exactly.
    (v,) = decode(tables, [207018, 206008, 60010], bits((5, 8)))
    assert v.raw_value == float(5 + 9 * 10**36) / 1e18


def test_difference_value_of_a_wide_element(tables):
    text = error_of(lambda: decode(tables, [63064, 225000, 101001, 31031, 225255], bits((0, 64), (0, 1))))
    assert text == PREFIX + (
        "difference statistical value (operator 225255) of element 063064 of width 64 needs a reference below -2^64")
    # Width 63: reference -2^63, read with 64 bits.
    vals = decode(tables, [63063, 225000, 101001, 31031, 225255], bits((0, 63), (0, 1), (2**63 + 5, 64)))
    assert vals[-1].raw_value == 5.0
    # A text has no reference: it is read one bit wider, the last bit
    # left-aligned in a byte of its own.
    vals = decode(tables, [1015, 225000, 101001, 31031, 225255], bits(("AB", 160), (0, 1), ("CD", 160), (1, 1)))
    assert vals[-1].raw_text == "CD" + " " * 18 + "?"


def test_width_beyond_65535_stays_out_of_reach(tables):
    # 65535 + 127 bits must not wrap around to a small width.
    text = error_of(lambda: decode(tables, [201255, 60011], b"\x00" * 64))
    assert text == PREFIX + "cannot read 65535 bits into u64"


def test_scale_beyond_the_float_range(tables):
    # 10^400 overflows: the value becomes infinite, and an infinite factor
    # repeats until the data or the bound runs out.
    (v,) = decode(tables, [60012], bits((3, 8)))
    assert v.raw_value == float("inf")
    data = bits((1, 8))
    text = error_of(lambda: decode(tables, [101000, 31013, 201000], data))
    assert text == PREFIX + ("decoding would take more than 65600 descriptor steps for 8 bits of data: "
                             "descriptors are repeated without reading data")


def test_huge_factor_with_data_runs_out_of_data(tables):
    text = error_of(lambda: decode(tables, [101000, 31012, 1001], bits((0, 8), (1, 7))))
    assert text.startswith(PREFIX + "not enough bits while reading section 4 at bit 15 for width 7")


def test_repeated_groups_without_data_are_bounded(tables):
    # 255^3 repetitions of an operator that reads nothing.
    text = error_of(lambda: decode(tables, [103255, 102255, 101255, 201000], b"\x00"))
    assert text == PREFIX + ("decoding would take more than 65600 descriptor steps for 8 bits of data: "
                             "descriptors are repeated without reading data")


def test_compressed_placeholder_columns_are_bounded(tables):
    # Each placeholder column holds one value per subset and reads no bits.
    text = error_of(lambda: decode(tables, [102255, 101255, 222000], b"\x00", subsets=65535, compressed=True))
    assert text == PREFIX + ("compressed data would give more than 196606 values for 8 bits of data: "
                             "descriptors are repeated without reading data")


# ---- the decoding entry points --------------------------------------------------------


@pytest.fixture(scope="module")
def table_dir(tmp_path_factory) -> Path:
    root = tmp_path_factory.mktemp("dir")
    make_tables(root, ELEMENTS, {300001: [1001, 1002]})
    return root


MESSAGE = build(descriptors=[300001], data=bits((11, 7), (423, 10)))


def test_decode_values_loads_the_table_directory(table_dir):
    vals = _korvane.decode_values(MESSAGE, str(table_dir))
    assert shown(vals) == [(1001, 11.0), (1002, 423.0)]
    assert [v.name for v in vals] == ["WMO BLOCK NUMBER", "WMO STATION NUMBER"]
    assert shown(_korvane.decode_values(data=MESSAGE, table_dir=str(table_dir))) == shown(vals)


def test_only_the_first_message_is_decoded(tables):
    second = build(descriptors=[1002], data=bits((5, 10)), terminator=b"8888")
    vals = _korvane.decode_values_with_tables(b"junk" + MESSAGE + second, tables)
    assert shown(vals) == [(1001, 11.0), (1002, 423.0)]


@pytest.mark.parametrize("data", [b"", b"no marker here"])
def test_no_message_is_reported_before_tables_are_looked_at(data):
    for call in (lambda: _korvane.decode_values(data, "/nonexistent"),
                 lambda: _korvane.decode_values_with_definitions(data, "/nonexistent")):
        assert error_of(call) == "missing BUFR marker"


def test_parse_errors_come_before_table_errors(tmp_path):
    bad = build(terminator=b"7776")
    assert error_of(lambda: _korvane.decode_values(bad, str(tmp_path / "none"))) == "section 5 terminator is not 7777"
    loading = error_of(lambda: _korvane.TableSet.from_eccodes(str(tmp_path / "none")))
    assert error_of(lambda: _korvane.decode_values(MESSAGE, str(tmp_path / "none"))) == loading


def test_definitions_root_without_the_version_directory(tmp_path):
    text = error_of(lambda: _korvane.decode_values_with_definitions(MESSAGE, str(tmp_path)))
    assert text == PREFIX + f"ecCodes table directory does not exist: {tmp_path}/bufr/tables/0/wmo/13"


def test_argument_types(tables, table_dir):
    with pytest.raises(TypeError, match="argument 'data'"):
        _korvane.decode_values_with_tables(bytearray(MESSAGE), tables)
    with pytest.raises(TypeError, match="argument 'tables'"):
        _korvane.decode_values_with_tables(MESSAGE, str(table_dir))
    with pytest.raises(TypeError, match="argument 'table_dir'"):
        _korvane.decode_values(MESSAGE, table_dir)


def test_decoded_value_objects(tables):
    (v,) = decode(tables, [1001], bits((3, 7)))
    with pytest.raises(TypeError):
        _korvane.DecodedValue()
    with pytest.raises(AttributeError):
        v.raw = 4
    assert type(v).__module__ == "builtins"


def test_values_keep_their_tables_alive(table_dir):
    tables = _korvane.TableSet.from_eccodes(str(table_dir))
    vals = _korvane.decode_values_with_tables(MESSAGE, tables)
    del tables
    gc.collect()
    assert [v.name for v in vals] == ["WMO BLOCK NUMBER", "WMO STATION NUMBER"]


# ---- elements the tables lack, and missing texts ---------------------------------------


@pytest.mark.parametrize("compressed", [False, True])
def test_an_element_of_width_announced_by_206_is_stepped_over(tables, compressed):
    # 0 63 255 is in no table; 2 06 012 says it is 12 bits wide.
    data = (bits((2748, 12), (0, 6), (11, 7), (0, 6)) if compressed else bits((2748, 12), (11, 7)))
    unknown, known = decode(tables, [206012, 63255, 1001], data, subsets=1, compressed=compressed)
    assert (unknown.descriptor, unknown.raw, unknown.raw_value, unknown.name, unknown.data) == (63255, 2748, None, "", None)
    assert (known.descriptor, known.raw_value) == (1001, 11.0)


@pytest.mark.parametrize("compressed", [False, True])
def test_a_missing_text_has_no_data(tables, compressed):
    data = bits((0xFFFFFFFF, 32), (0, 6)) if compressed else bits((0xFFFFFFFF, 32))
    (v,) = decode(tables, [1019], data, subsets=1, compressed=compressed)
    assert (v.raw_text, v.data, v.raw_value) == (None, None, 1004.0)
