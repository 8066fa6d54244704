"""The bit reader of section 4, seen through decoding: elements of chosen
widths read the fields, and its errors come back with their exact texts."""

from __future__ import annotations

import random

import pytest

from bufr_builder import Bits
from datatables import decode, make_tables

PREFIX = "csv/table parse error: "
# Elements 0 50 001 .. 0 50 064: "W<n>", numeric, n bits wide.
WIDTH_ELEMENTS = [(50000 + n, f"W{n}", "Numeric", 0, 0, n) for n in range(1, 65)]
TEXT_ELEMENTS = [(51000 + n, f"T{n}", "CCITT IA5", 0, 0, n) for n in (7, 8, 12, 16, 24, 40, 72, 200)]
ZERO = [(52000, "ZERO WIDTH", "Numeric", 0, 0, 0)]


@pytest.fixture(scope="module")
def tables(tmp_path_factory):
    root = tmp_path_factory.mktemp("bitstream")
    return make_tables(root, WIDTH_ELEMENTS + TEXT_ELEMENTS + ZERO, code_tables={})


def w(n: int) -> int:
    return 50000 + n


def t(n: int) -> int:
    return 51000 + n


def test_fields_follow_each_other_most_significant_bit_first(tables):
    # 0xB6 0x5C: 3 bits 101 = 5, 6 bits 101100 = 44, then 7 bits 1011100
    # left-aligned in one byte, 0xB8, which is no IA5 character.
    vals = decode(tables, [w(3), w(6), t(7)], bytes([0xB6, 0x5C]))
    assert [v.raw for v in vals[:2]] == [5, 44]
    assert vals[2].raw_text == "?"
    # The sixteen bits are used up: one more bit is refused at bit 16.
    with pytest.raises(ValueError) as e:
        decode(tables, [w(3), w(6), t(7), w(1)], bytes([0xB6, 0x5C]))
    assert str(e.value) == PREFIX + "not enough bits while reading section 4 at bit 16 for width 1 (16 bits available)"


def test_width_zero_reads_nothing_even_from_empty_data(tables):
    (v,) = decode(tables, [52000], b"")
    assert (v.raw, v.raw_value) == (0, None)


def test_sixty_four_bits_of_ones_are_one_number(tables):
    (v,) = decode(tables, [w(64)], b"\xff" * 8)
    assert v.raw == 18446744073709551615
    assert v.raw_value == 18446744073709551615.0  # a 64-bit field is never missing


def test_wider_than_64_bits_fails_even_with_bits_to_spare(tables):
    # 2 01 129 widens the 64-bit element to 65 bits.
    with pytest.raises(ValueError) as e:
        decode(tables, [201129, w(64)], b"\x00" * 16)
    assert str(e.value) == PREFIX + "cannot read 65 bits into u64"


def test_running_out_names_position_width_and_total_bits(tables):
    # 90 bits read from 12 bytes, then 7 more asked for.
    descriptors = [w(45), w(45), w(7)]
    with pytest.raises(ValueError) as e:
        decode(tables, descriptors, b"\x00" * 12)
    assert str(e.value) == PREFIX + "not enough bits while reading section 4 at bit 90 for width 7 (96 bits available)"


def test_partial_last_byte_of_a_text_is_left_aligned(tables):
    # 12 bits over 0x41 0x4F: 0x41, then 0100 padded to 0x40.
    (v,) = decode(tables, [t(12)], bytes([0x41, 0x4F]))
    assert v.raw_text == "A@"


def test_text_running_out_names_the_byte_that_failed(tables):
    # After 4 bits, a 16-bit text over two bytes gets its first byte (bits 4
    # to 11); the second needs 8 bits at bit 12, where 4 are left.
    with pytest.raises(ValueError) as e:
        decode(tables, [w(4), t(16)], bytes([0x12, 0x34]))
    assert str(e.value) == PREFIX + "not enough bits while reading section 4 at bit 12 for width 8 (16 bits available)"


@pytest.mark.parametrize("seed", range(12))
def test_random_fields_at_every_offset_read_back(tables, seed):
    # Fields of every width at every bit offset, texts among them, with the
    # last field ending exactly at the end of the data (the tail path).
    rng = random.Random(seed)
    descriptors, expected = [], []
    bits = Bits()
    for _ in range(rng.randrange(1, 120)):
        if rng.random() < 0.15:
            n = rng.choice([8, 16, 24, 40, 72, 200])
            text = "".join(rng.choice("ABCXYZ019-") for _ in range(n // 8))
            bits.text(text, n)
            descriptors.append(t(n))
            expected.append(text)
        else:
            n = rng.randrange(1, 65)
            value = rng.getrandbits(n)
            bits.uint(value, n)
            descriptors.append(w(n))
            expected.append(value)
    pad = -len(bits) % 8
    if pad:
        bits.uint(0, pad)
        descriptors.append(w(pad))
        expected.append(0)
    vals = decode(tables, descriptors, bits)
    got = [v.raw_text if v.raw is None else v.raw for v in vals]
    assert got == expected
