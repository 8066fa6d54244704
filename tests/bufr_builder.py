"""Assembles BUFR messages of editions 2, 3 and 4 from named parts, for tests.

A test states the BUFR it needs (header fields, descriptors, data bits) and lets
the builder do the byte layout; any length or flag may be overridden to make a
malformed message::

    data = Bits().uint(12, width=10).text("AB", width=16)
    msg = build(descriptors=[1001, 1015], data=data, subsets=1)
    bad = build(section3_length=10)
    old = build(edition=3, centre=74, year=2012)

Section 1 of editions 2 and 3 is shorter than edition 4's: a one-octet
sub-centre and centre (edition 3) or a two-octet centre and no sub-centre
(edition 2), one data sub-category (the local one), a year of the century and
no second; `international_subcategory` and `second` are not written there.
Those editions pad every section to an even length with a zero octet,
which `even` turns on or off whatever the edition.
"""

from __future__ import annotations

from collections.abc import Iterable


class Bits:
    """Most-significant-bit-first bit writer for section 4 data."""

    def __init__(self) -> None:
        self._bits: list[int] = []

    def uint(self, value: int, width: int) -> "Bits":
        if value < 0 or value >= (1 << width) and width > 0:
            raise ValueError(f"{value} does not fit in {width} bits")
        self._bits.extend((value >> (width - 1 - i)) & 1 for i in range(width))
        return self

    def ones(self, width: int) -> "Bits":
        """The all-ones pattern that marks a missing value."""
        return self.uint((1 << width) - 1, width)

    def text(self, text: str | bytes, width: int) -> "Bits":
        raw = text.encode("latin-1") if isinstance(text, str) else text
        raw = raw.ljust(width // 8, b" ")
        for b in raw[: width // 8]:
            self.uint(b, 8)
        return self

    def __len__(self) -> int:
        return len(self._bits)

    def to_bytes(self) -> bytes:
        bits = self._bits + [0] * (-len(self._bits) % 8)
        return bytes(
            int("".join(map(str, bits[i : i + 8])), 2) for i in range(0, len(bits), 8)
        )


def descriptor_bytes(code: int) -> bytes:
    f, x, y = code // 100000, (code // 1000) % 100, code % 1000
    return bytes([(f << 6) | x, y])


def u24(n: int) -> bytes:
    return n.to_bytes(3, "big")


def pad_even(body: bytes, header: int, even: bool) -> bytes:
    """A section body followed by a zero octet when the section, with its
    `header` octets in front, would have an odd length."""
    return body + b"\x00" if even and (header + len(body)) % 2 else body


def build(
    *,
    descriptors: Iterable[int] = (1001,),
    data: Bits | bytes = b"\x00",
    subsets: int = 1,
    observed: bool = True,
    compressed: bool = False,
    section3_flags: int | None = None,
    edition: int = 4,
    even: bool | None = None,
    master_table: int = 0,
    centre: int = 98,
    subcentre: int = 0,
    update_sequence: int = 0,
    section2: bytes | None = None,
    section2_flag: int | None = None,
    data_category: int = 0,
    international_subcategory: int = 0,
    local_subcategory: int = 0,
    master_version: int = 13,
    local_version: int = 0,
    year: int = 2024,
    year_of_century: int | None = None,
    month: int = 5,
    day: int = 17,
    hour: int = 12,
    minute: int = 30,
    second: int = 45,
    section1_extra: bytes = b"",
    section1_length: int | None = None,
    section3_length: int | None = None,
    section3_padding: bytes = b"",
    section4_length: int | None = None,
    total_length: int | None = None,
    terminator: bytes = b"7777",
    trailing: bytes = b"",
) -> bytes:
    """One message; every keyword names the field it sets."""
    flag = section2_flag if section2_flag is not None else (0x80 if section2 is not None else 0)
    old_layout = edition in (2, 3)
    if even is None:
        even = old_layout
    if old_layout:
        if edition == 3:
            origin = bytes([subcentre, centre])
        else:
            origin = centre.to_bytes(2, "big")
        yy = year_of_century if year_of_century is not None else year % 100
        sec1_body = (
            bytes([master_table])
            + origin
            + bytes([update_sequence, flag, data_category, local_subcategory])
            + bytes([master_version, local_version])
            + bytes([yy, month, day, hour, minute])
            + section1_extra
        )
    else:
        sec1_body = (
            bytes([master_table])
            + centre.to_bytes(2, "big")
            + subcentre.to_bytes(2, "big")
            + bytes([update_sequence, flag])
            + bytes([data_category, international_subcategory, local_subcategory])
            + bytes([master_version, local_version])
            + year.to_bytes(2, "big")
            + bytes([month, day, hour, minute, second])
            + section1_extra
        )
    sec1_body = pad_even(sec1_body, 3, even)
    sec1 = u24(section1_length if section1_length is not None else 3 + len(sec1_body)) + sec1_body

    sec2 = b""
    if section2 is not None:
        sec2_body = pad_even(section2, 4, even)
        sec2 = u24(4 + len(sec2_body)) + b"\x00" + sec2_body

    flags = section3_flags
    if flags is None:
        flags = (0x80 if observed else 0) | (0x40 if compressed else 0)
    desc = b"".join(descriptor_bytes(c) for c in descriptors) + section3_padding
    sec3_body = pad_even(b"\x00" + subsets.to_bytes(2, "big") + bytes([flags]) + desc, 3, even)
    sec3 = u24(section3_length if section3_length is not None else 3 + len(sec3_body)) + sec3_body

    payload = pad_even(data.to_bytes() if isinstance(data, Bits) else bytes(data), 4, even)
    sec4 = u24(section4_length if section4_length is not None else 4 + len(payload)) + b"\x00" + payload

    body = sec1 + sec2 + sec3 + sec4 + terminator
    length = total_length if total_length is not None else 8 + len(body)
    return b"BUFR" + u24(length) + bytes([edition]) + body + trailing
