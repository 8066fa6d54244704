"""Parsing the frame of one message, and finding the messages in a buffer."""

from __future__ import annotations

import json
import random

import pytest

from korvane import _korvane
from bufr_builder import Bits, build, u24


def error_of(data: bytes, fn=_korvane.parse_bytes) -> str:
    with pytest.raises(ValueError) as info:
        fn(data)
    assert type(info.value) is ValueError
    (text,) = info.value.args
    return text


def truncated(section: int, offset: int) -> str:
    return f"section {section} at offset {offset} is truncated"


GOOD = build(descriptors=[307080, 1001], data=Bits().uint(5, 7))


def test_fields_of_a_built_message():
    sec2 = b"local data here"
    msg = build(
        descriptors=[301011, 1, 222000],
        master_table=10,
        centre=0xABCD,
        subcentre=0x1234,
        update_sequence=3,
        section2=sec2,
        data_category=21,
        international_subcategory=22,
        local_subcategory=23,
        master_version=38,
        local_version=7,
        year=2025,
        month=12,
        day=31,
        hour=23,
        minute=59,
        second=58,
        subsets=513,
        observed=False,
        compressed=True,
        data=b"\x01\x02\x03",
    )
    m = _korvane.parse_bytes(msg)
    assert (m.total_length, m.edition, m.section1_length) == (len(msg), 4, 22)
    assert (m.master_table_number, m.originating_centre, m.originating_subcentre) == (10, 0xABCD, 0x1234)
    assert (m.update_sequence_number, m.local_section_present) == (3, True)
    assert (m.data_category, m.international_data_subcategory, m.local_data_subcategory) == (21, 22, 23)
    assert (m.master_tables_version_number, m.local_tables_version_number) == (38, 7)
    assert (m.typical_year, m.typical_month, m.typical_day) == (2025, 12, 31)
    assert (m.typical_hour, m.typical_minute, m.typical_second) == (23, 59, 58)
    assert m.section2_length == 4 + len(sec2)
    assert (m.section3_length, m.number_of_subsets) == (7 + 6, 513)
    assert (m.observed_data, m.compressed_data) == (False, True)
    assert m.unexpanded_descriptors == [301011, 1, 222000]
    start4 = 8 + 22 + m.section2_length + m.section3_length
    assert (m.section4_length, m.section4_data_offset, m.section4_data_length) == (7, start4 + 4, 3)
    assert msg[m.section4_data_offset : m.section4_data_offset + m.section4_data_length] == b"\x01\x02\x03"
    assert repr(m) == f"BufrMessage(edition=4, length={len(msg)}, subsets=513, descriptors=[301011, 1, 222000])"


def test_record_is_read_only_and_descriptor_list_is_a_copy():
    m = _korvane.parse_bytes(GOOD)
    with pytest.raises(AttributeError):
        m.edition = 3
    m.unexpanded_descriptors.append(5)
    assert m.unexpanded_descriptors == [307080, 1001]
    assert repr(_korvane.parse_bytes(build(descriptors=[]))).endswith("descriptors=[])")


@pytest.mark.parametrize(
    "flags, observed, compressed",
    [(0x00, False, False), (0x80, True, False), (0x40, False, True), (0xC0, True, True), (0x3F, False, False)],
)
def test_section3_flags(flags, observed, compressed):
    m = _korvane.parse_bytes(build(section3_flags=flags))
    assert (m.observed_data, m.compressed_data) == (observed, compressed)


@pytest.mark.parametrize("flag", [0x01, 0x80, 0xFF])
def test_any_nonzero_octet_marks_section2(flag):
    m = _korvane.parse_bytes(build(section2=b"xy", section2_flag=flag))
    assert m.local_section_present and m.section2_length == 6


def mutate(data: bytes, offset: int, value: bytes) -> bytes:
    return data[:offset] + value + data[offset + len(value) :]


# Section 3 starts at 30 in a message with a 22-byte section 1 and no section 2.
S3 = 30


@pytest.mark.parametrize(
    "data, text",
    [
        (b"", "message is too short to be BUFR"),
        (b"BUFR\x00\x00", "message is too short to be BUFR"),
        (b"BUFX" + GOOD[4:], "missing BUFR marker"),
        (mutate(GOOD, 7, b"\x03"), "unsupported BUFR edition 3; only edition 4 is implemented"),
        # the edition is checked before the length
        (mutate(GOOD, 7, b"\x05")[:20], "unsupported BUFR edition 5; only edition 4 is implemented"),
        (GOOD + b"\x00", f"declared length {len(GOOD)} does not match buffer length {len(GOOD) + 1}"),
        (GOOD[:-1], f"declared length {len(GOOD)} does not match buffer length {len(GOOD) - 1}"),
        (b"BUFR" + u24(8) + b"\x04", truncated(1, 8)),
        (b"BUFR" + u24(10) + b"\x04\x00\x00", truncated(1, 8)),
        (build(section1_length=10_000), truncated(1, 8)),
        (build(section3_length=6), truncated(3, S3)),
        (build(section3_length=100_000), truncated(3, S3)),
        (build(section4_length=1000), truncated(4, S3 + 9)),
        (build(terminator=b""), truncated(5, S3 + 9 + 5)),
        (build(terminator=b"777"), truncated(5, S3 + 9 + 5)),
        (build(terminator=b"7778"), "section 5 terminator is not 7777"),
        # section 2 flagged but its length runs past the end
        (build(section2_flag=0x80, section1_extra=b"", terminator=b"7777"), None),
    ],
)
def test_frame_errors(data, text):
    if text is None:
        # Section 2 declared present: its length is read where section 3 starts.
        text = error_of(data)
        assert "section" in text
        return
    assert error_of(data) == text


def test_error_order_follows_the_frame():
    # A bad terminator and a bad section 3 at once: section 3 is reported first.
    assert error_of(build(section3_length=6, terminator=b"XXXX")) == truncated(3, S3)
    # Edition is checked before the marker's length field is trusted.
    assert error_of(b"BUFR\xff\xff\xff\x03") == "unsupported BUFR edition 3; only edition 4 is implemented"


@pytest.mark.parametrize("section1_length", range(0, 22))
def test_short_section1_never_reads_past_the_buffer(section1_length):
    # A section 1 that declares fewer octets than edition 4 has: the fixed
    # fields still come from fixed offsets, and a buffer too short for them
    # fails on the first field that does not fit.
    msg = build(section1_length=section1_length)
    try:
        m = _korvane.parse_bytes(msg)
    except ValueError as e:
        assert str(e).startswith("section ")
    else:
        assert m.section1_length == section1_length


def test_tiny_messages_report_header_fields_as_section0():
    # 8 + section 1 of 3 bytes + section 3 of 7 + section 4 of 3 + 7777 = 25
    # bytes: the month at offset 25 lies beyond the message.
    body = u24(3) + u24(7) + b"\x00\x00\x01\x00" + u24(3) + b"7777"
    msg = b"BUFR" + u24(8 + len(body)) + b"\x04" + body
    assert error_of(msg) == truncated(0, 25)


@pytest.mark.parametrize("pad", [b"\x00", b"\x01", b"\xff"])
def test_section3_padding_byte(pad):
    # A lone last octet of the descriptor area is padding whatever its value.
    padded = build(descriptors=[1001, 1002], section3_length=12, section3_padding=pad)
    m = _korvane.parse_bytes(padded)
    assert m.section3_length == 12
    assert m.unexpanded_descriptors == [1001, 1002]
    assert _korvane.parse_bytes(build(section3_length=10, section3_padding=pad)).unexpanded_descriptors == [1001]
    one = build(descriptors=[], section3_length=9, section3_padding=b"\xc1\x0b")
    assert _korvane.parse_bytes(one).unexpanded_descriptors == [301011]


def test_section4_shorter_than_its_header():
    # A section 4 of 3 bytes holds only its length; the data area is empty.
    msg = build(data=b"")
    start4 = S3 + 9
    msg = msg[:start4] + u24(3) + b"7777"
    msg = msg[:4] + u24(len(msg)) + msg[7:]
    m = _korvane.parse_bytes(msg)
    assert (m.section4_length, m.section4_data_length, m.section4_data_offset) == (3, 0, start4 + 4)


# ---- several messages in one buffer


def test_split_skips_bytes_around_messages():
    a, b = GOOD, build(descriptors=[1002], data=b"BUFRBUFR")
    blob = b"junk!" + a + b"0123456789" + b + b"tail"
    found = _korvane.parse_all_bytes(blob)
    assert [m.unexpanded_descriptors for m in found] == [[307080, 1001], [1002]]
    assert found[1].section4_data_offset == _korvane.parse_bytes(b).section4_data_offset


@pytest.mark.parametrize("blob", [b"", b"BUF", b"no marker in here at all", b"BURF" * 10])
def test_split_finds_nothing(blob):
    assert _korvane.parse_all_bytes(blob) == []


@pytest.mark.parametrize(
    "blob, text",
    [
        (GOOD + b"BUFR123", "message is too short to be BUFR"),
        (b"xx" + GOOD + b"BUFR" + u24(100) + b"\x04", truncated(0, 2 + len(GOOD))),
        (b"BUFR" + u24(5) + b"\x04xxxxxx", "message is too short to be BUFR"),
        (b"BUFR" + u24(0) + b"\x04" + GOOD, "message is too short to be BUFR"),
        (GOOD + b"BUFR" + u24(20) + b"\x04" + b"\x00" * 12, truncated(0, 23)),
    ],
)
def test_split_errors(blob, text):
    assert error_of(blob, _korvane.parse_all_bytes) == text


def test_zero_length_marker_does_not_stall():
    # Many "BUFR" markers declaring length 0: the scan must move on and fail
    # on the first range rather than loop.
    with pytest.raises(ValueError):
        _korvane.parse_all_bytes((b"BUFR" + u24(0) + b"\x04") * 1000)


def test_two_messages_in_one_file(tmp_path):
    path = tmp_path / "two.bufr"
    path.write_bytes(GOOD + GOOD)
    assert len(_korvane.parse_all_file(str(path))) == 2
    with pytest.raises(ValueError, match="^declared length"):
        _korvane.parse_file(str(path))


# ---- real data


def index(corpus_dir):
    return json.loads((corpus_dir / "ed4" / "index.json").read_text())


def test_every_corpus_message_matches_the_index(corpus_dir):
    entries = index(corpus_dir)
    total = 0
    for name, expected in entries.items():
        data = (corpus_dir / "ed4" / name).read_bytes()
        found = _korvane.parse_all_file(str(corpus_dir / "ed4" / name))
        assert len(found) == len(expected), name
        pos = 0
        for m, want in zip(found, expected):
            offset = data.find(b"BUFR", pos)
            pos = offset + m.total_length
            for field, value in want.items():
                got = offset if field == "offset" else getattr(m, field)
                assert got == value, (name, want["offset"], field)
            total += 1
    assert total == 63


def test_corpus_section4_lies_inside_each_message(corpus_dir):
    for path in sorted((corpus_dir / "ed4").glob("*.bufr")):
        for m in _korvane.parse_all_file(str(path)):
            assert m.section4_data_offset + m.section4_data_length <= m.total_length


def test_edition3_files_are_refused(corpus_dir):
    files = sorted((corpus_dir / "ed3").glob("*.bufr"))
    assert len(files) > 100
    for path in files:
        with pytest.raises(ValueError) as info:
            _korvane.parse_all_file(str(path))
        assert str(info.value) == "unsupported BUFR edition 3; only edition 4 is implemented", path.name


# ---- hostile input


def corpus_messages(corpus_dir):
    out = []
    for path in sorted((corpus_dir / "ed4").glob("*.bufr")):
        data = path.read_bytes()
        pos = 0
        for m in _korvane.parse_all_bytes(data):
            start = data.find(b"BUFR", pos)
            out.append(data[start : start + m.total_length])
            pos = start + m.total_length
    return out


def test_random_and_mutated_input_only_raises_value_error(corpus_dir):
    rng = random.Random(20261208)
    messages = corpus_messages(corpus_dir)
    header_limited = [m[:200] for m in messages]
    cases = 0
    for _ in range(4000):
        base = bytearray(rng.choice(messages if rng.random() < 0.3 else header_limited))
        kind = rng.random()
        if kind < 0.4:
            for _ in range(rng.randint(1, 8)):
                base[rng.randrange(len(base))] = rng.randrange(256)
        elif kind < 0.6:
            del base[rng.randrange(len(base)) :]
        elif kind < 0.8:
            # Edits aimed at the length fields of the frame.
            pos = rng.choice([4, 5, 6, 8, 9, 10, 17, 30, 31, 32])
            if pos < len(base):
                base[pos] = rng.choice([0, 1, 0x7F, 0xFF, rng.randrange(256)])
        else:
            base = bytearray(rng.randbytes(rng.randint(0, 64)))
            if rng.random() < 0.5:
                base[0:0] = b"BUFR" + u24(len(base) + 8) + b"\x04"
        blob = bytes(base)
        for fn in (_korvane.parse_bytes, _korvane.parse_all_bytes):
            try:
                fn(blob)
            except ValueError:
                pass
            cases += 1
    assert cases == 8000
