"""Repeated calls must not leak Python objects or native memory, on success
and on every error path."""

from __future__ import annotations

import gc
import os
import tracemalloc

from korvane import _korvane
from bufr_builder import build

UNDER_SANITIZER = bool(os.environ.get("KORVANE_EXPECT_STAGE"))


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def assert_no_growth(step, rounds: int = 3000) -> None:
    for _ in range(300):
        step()
    gc.collect()
    tracemalloc.start()
    before_py = tracemalloc.get_traced_memory()[0]
    before_rss = rss_bytes()
    for _ in range(rounds):
        step()
    gc.collect()
    grown_py = tracemalloc.get_traced_memory()[0] - before_py
    tracemalloc.stop()
    grown_rss = rss_bytes() - before_rss
    assert grown_py < 64 * 1024, f"Python memory grew by {grown_py} bytes"
    # The sanitizer's quarantine holds freed memory back; judge native memory
    # only in the plain build.
    if not UNDER_SANITIZER:
        assert grown_rss < 4 * 1024 * 1024, f"RSS grew by {grown_rss} bytes"


def swallow(fn, *args):
    def step():
        try:
            fn(*args)
        except (ValueError, TypeError, OverflowError, OSError):
            pass

    return step


def test_parsing_does_not_leak(corpus_dir, tmp_path):
    path = str(corpus_dir / "ed4" / "ISMD01_OKPR.bufr")
    data = open(path, "rb").read()
    good = build(descriptors=list(range(1000, 1200)))

    def step():
        _korvane.parse_all_bytes(data)
        _korvane.parse_all_file(path)
        m = _korvane.parse_bytes(good)
        m.unexpanded_descriptors
        repr(m)

    assert_no_growth(step, rounds=1000)


def test_error_paths_do_not_leak(tmp_path):
    missing = str(tmp_path / "missing")
    steps = [
        swallow(_korvane.parse_bytes, b"BUFR\x00\x00\x10\x04" + b"\x00" * 8),
        swallow(_korvane.parse_all_bytes, build() + b"BUFR\x00\x10\x00\x04"),
        swallow(_korvane.parse_file, missing),
        swallow(_korvane.parse_bytes, bytearray(b"x")),
        swallow(_korvane.Descriptor, 1, 2, 300),
        swallow(_korvane.Descriptor.from_fxy, 2**90),
    ]

    def step():
        for s in steps:
            s()

    assert_no_growth(step)
