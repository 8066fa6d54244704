"""Writes the hostile inputs kept under fuzz/regressions/<target>/: small
messages that each stress one rule of the scan or the decoder, made with the
tests' message builder so that they can be made again (and changed) from here.

    python3 fuzz/make_regressions.py        # from the top of the checkout

Inputs that fuzzing found are kept beside them as the fuzzer wrote them; this
script only writes, and overwrites, the files named below.
"""

from __future__ import annotations

import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

from bufr_builder import Bits, build  # noqa: E402

# Which targets replay each kind of input: one message decoded (its first
# sound message), the reader's path over a whole input, the table engine.
DECODE = ("fuzz_decode", "fuzz_scan", "fuzz_read_table")
WHOLE = ("fuzz_scan", "fuzz_read_table")

AIR_TEMPERATURE = 12101  # 16 bits in Table B
STATION_NAME = 1015  # 160 bits of text
SHORT_FACTOR = 31000  # 1 bit


def plain() -> bytes:
    """A sound message of one subset: one air temperature."""
    return build(descriptors=[AIR_TEMPERATURE], data=Bits().uint(27315, 16))


def edition3() -> bytes:
    return build(edition=3, descriptors=[AIR_TEMPERATURE, STATION_NAME],
                 data=Bits().uint(28000, 16).text("OLD", 160))


def inputs() -> dict[str, tuple[bytes, tuple[str, ...]]]:
    a, b = plain(), edition3()
    out: dict[str, tuple[bytes, tuple[str, ...]]] = {}

    # Lengths that do not add up: each must be a damaged message, and the
    # sound messages around it must still be found.
    out["length-covers-next"] = (build(descriptors=[AIR_TEMPERATURE], data=Bits().uint(1, 16),
                                       total_length=len(a) + len(b)) + b, WHOLE)
    out["junk-before-declared-end"] = (
        build(descriptors=[AIR_TEMPERATURE], data=Bits().uint(1, 16), trailing=b"JUNK",
              total_length=len(a) + 4) + b, WHOLE)
    out["last-message-cut"] = (a + b + a[: len(a) // 2], WHOLE)
    out["declared-length-past-end"] = (b"GTS heading\r\r\n" + a + b"BUFR\xff\xff\xff\x04" + b, WHOLE)

    # Compressed data that amplify: 65535 subsets share one column of 7 bits
    # (R0 of a 1-bit element and an increment width of 0), repeated
    # 255 x 255 x 255 times. The item bound must stop it before its arrays
    # are allocated.
    repeated = [103255, 102255, 101255, SHORT_FACTOR]
    few_bits = Bits()
    for _ in range(64):
        few_bits.uint(1, 1).uint(0, 6)
    out["compressed-amplified-1-bit"] = (
        build(descriptors=repeated, data=few_bits, subsets=65535, compressed=True), DECODE)
    # Groups of an operator that gives no items, 100 x 100 in each of 65535
    # subsets: their occurrences (recorded for the table engine) are bounded
    # as items are, or 24 bytes of data ask for 26 GB of records.
    out["compressed-amplified-groups"] = (
        build(descriptors=[AIR_TEMPERATURE, 102100, 101100, 201129], data=b"\x00" * 24, subsets=65535,
              compressed=True), DECODE)
    # Increments of one bit: every subset reads its own value, and the arrays
    # laid out (512 KiB of values) are larger than the column pool's blocks.
    varying = Bits().uint(0, 1).uint(1, 6)
    for s in range(65535):
        varying.uint(s % 3 & 1, 1)
    out["compressed-1-bit-increments"] = (
        build(descriptors=[SHORT_FACTOR], data=varying, subsets=65535, compressed=True), DECODE)

    # 2 06 YYY announces a width for the next element: one whose table entry
    # has another width (air temperature is 16 bits), one the tables lack,
    # and widths of 0 and of more than 64 bits.
    out["local-width-differs"] = (
        build(descriptors=[206008, AIR_TEMPERATURE, AIR_TEMPERATURE], data=Bits().uint(200, 8).uint(27315, 16)),
        DECODE)
    out["local-width-unknown-element"] = (
        build(descriptors=[206012, 63255, AIR_TEMPERATURE], data=Bits().uint(4095, 12).uint(27315, 16)), DECODE)
    out["local-width-0-and-wide"] = (
        build(descriptors=[206000, 63254, 206255, 63255, AIR_TEMPERATURE], data=b"\xaa" * 40), DECODE)
    out["local-width-compressed"] = (
        build(descriptors=[206008, AIR_TEMPERATURE, 206070, 63255], subsets=3, compressed=True,
              data=Bits().uint(7, 8).uint(2, 6).uint(1, 2).uint(2, 2).uint(3, 2).uint(0, 70).uint(0, 6)), DECODE)

    # Texts with bytes from 0x80: Latin-1, invalid UTF-8, all 0xFF (missing).
    high = bytes(range(0x80, 0x94))
    bad_utf8 = b"\xc3\x28\xe2\x82\xf0\x9f\x98\xff\xfe " + "Zürich".encode()
    texts = Bits().text(high, 160).text(bad_utf8, 160).text(b"\xff" * 20, 160)
    out["text-high-bytes"] = (
        build(descriptors=[STATION_NAME] * 3, data=texts), DECODE)
    ctext = Bits().text(b"\x80" * 20, 160).uint(20, 6)
    for s in range(3):
        ctext.text(bytes([0xE9, 0x80 + s]) * 10, 160)
    out["text-high-bytes-compressed"] = (
        build(descriptors=[STATION_NAME, 205003], subsets=3, compressed=True,
              data=ctext.text(b"\xfe\xff\x80", 24).uint(0, 6)), DECODE)
    return out


def main() -> None:
    for name, (data, targets) in inputs().items():
        for target in targets:
            path = HERE / "regressions" / target / name
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(data)
    print(f"{len(inputs())} inputs written under {HERE / 'regressions'}")


if __name__ == "__main__":
    main()
