"""The boundary to Python: exhausted memory becomes MemoryError (never an
abort), code lists are read for what they hold, special files are refused at
once, and expansion stays within its bound for every real template."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap

import pytest

from korvane import _korvane
from korvane._korvane import TableSet
from tablefiles import table_dir

UNDER_SANITIZER = bool(os.environ.get("KORVANE_EXPECT_STAGE"))
TABLE = "csv/table parse error: "
BOUND = TABLE + "descriptor expansion exceeds 1048576 codes"


def run_child(body: str, *args: str, timeout: float = 60) -> str:
    """Runs `body` in a fresh interpreter; returns the last line it prints."""
    code = "from korvane import _korvane\n" + textwrap.dedent(body)
    done = subprocess.run([sys.executable, "-c", code, *args], capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, f"child died with {done.returncode}: {done.stderr[-2000:]}"
    return done.stdout.strip().splitlines()[-1]


# The child lowers its own address-space limit to what it uses plus
# HEADROOM MiB, then makes one call and prints the outcome.
LIMITED = """
import resource, sys
def vm_size():
    for line in open("/proc/self/status"):
        if line.startswith("VmSize:"):
            return int(line.split()[1]) * 1024
limit = vm_size() + {headroom} * 1024 * 1024
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
try:
    result = {call}
    print("ok", len(result))
except Exception as e:
    print(type(e).__name__, e)
"""


@pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizer's allocator aborts when memory runs out instead of throwing")
@pytest.mark.parametrize(
    "call, headroom, outcomes",
    [
        # A 3 GiB file cannot be read into 256 MiB of address space.
        ("_korvane.parse_all_file(sys.argv[1])", 256, {"MemoryError"}),
        ("_korvane.parse_file(sys.argv[1])", 256, {"MemoryError"}),
        # Four nested replications of 255 ask for 255**4 codes: either the
        # memory or the bound runs out first, and the caller sees which.
        ("_korvane.TableSet().expand([104255, 103255, 102255, 101255, 1001])", 8, {"MemoryError", "ValueError " + BOUND}),
        ("_korvane.TableSet().expand([104255, 103255, 102255, 101255, 1001])", 256, {"ValueError " + BOUND}),
    ],
)
def test_exhausted_memory_raises_instead_of_aborting(tmp_path, call, headroom, outcomes):
    big = tmp_path / "big.bufr"
    with open(big, "wb") as f:
        f.truncate(3 << 30)  # sparse: takes no disk space
    outcome = run_child(LIMITED.format(headroom=headroom, call=call), str(big), timeout=120)
    assert outcome in outcomes or outcome.split(" ", 1)[0] in outcomes


@pytest.mark.parametrize("base", [list, tuple])
@pytest.mark.parametrize("claimed", [0, 1, 10**6])
def test_code_lists_are_read_for_what_they_hold(tmp_path, base, claimed):
    # A subclass whose __len__ disagrees with its items: the items decide.
    class Lying(base):
        def __len__(self):
            return claimed

    codes = Lying([301001, 1001])
    expected = [1001, 1002, 1001]
    assert TableSet.from_eccodes(str(table_dir(tmp_path))).expand(codes) == expected
    assert _korvane.expand_descriptors(str(table_dir(tmp_path)), codes) == expected


def test_other_sequences_still_checked_by_length_first():
    class Endless:
        def __len__(self):
            return 1 << 40

        def __getitem__(self, i):
            return 1001

    with pytest.raises(ValueError, match="exceeds 16777216 codes"):
        TableSet().expand(Endless())


def test_special_files_are_refused_at_once(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    # In a child with a timeout: before the refusal, a FIFO without a writer
    # blocked the open and /dev/zero read until memory ran out.
    outcome = run_child(
        f"""
        results = []
        for fn in (_korvane.parse_file, _korvane.parse_all_file):
            for path in ({str(fifo)!r}, "/dev/zero"):
                try:
                    fn(path)
                    results.append("returned")
                except OSError as e:
                    results.append(f"{{type(e).__name__}}{{e.args}}")
        print(results)
        """,
        timeout=60,
    )
    assert outcome == str(["OSError('not a regular file',)"] * 4)


def test_every_installed_template_expands_far_below_the_bound(definitions_root):
    wmo = definitions_root / "bufr" / "tables" / "0" / "wmo"
    newest = max((p for p in wmo.iterdir() if p.name.isdigit()), key=lambda p: int(p.name))
    tables = TableSet.from_eccodes(str(newest))
    sizes = []
    for line in (newest / "sequence.def").read_text().splitlines():
        if "=" in line:
            sizes.append(len(tables.expand([int(line.split("=")[0].strip().strip('"'))])))
    assert len(sizes) > 500
    # The bound must leave real templates a wide margin (IASI's is the largest).
    assert 10_000 < max(sizes) < (1 << 20) // 32


# ---- the interpreter lock and Ctrl-C during a long decode ------------------------------


@pytest.fixture(scope="module")
def long_decode(tmp_path_factory):
    """A call that walks for about two seconds: 1 MiB of data and operators
    repeated until the step bound stops them."""
    from bufr_builder import build
    from datatables import ELEMENTS, make_tables

    tables = make_tables(tmp_path_factory.mktemp("long"), ELEMENTS, {})
    message = build(descriptors=[103255, 102255, 101255, 201000] * 40, data=b"\0" * (1 << 20))
    import korvane

    reader_message = korvane.open(message, tables=tables)[0]
    return {
        "objects": lambda: _korvane.decode_values_with_tables(message, tables),
        "columns": reader_message.decode,
    }


@pytest.mark.parametrize("path", ["objects", "columns"])
def test_other_threads_run_during_a_decode(long_decode, path):
    import threading

    ticks = 0
    stop = threading.Event()

    def count():
        nonlocal ticks
        while not stop.is_set():
            ticks += 1

    counter = threading.Thread(target=count)
    counter.start()
    try:
        before = ticks
        with pytest.raises(ValueError, match="descriptor steps"):
            long_decode[path]()
        during = ticks - before
    finally:
        stop.set()
        counter.join()
    assert during > 0


@pytest.mark.parametrize("path", ["objects", "columns"])
def test_ctrl_c_interrupts_a_decode(long_decode, path):
    import signal
    import threading
    import time

    def timed(expected):
        start = time.perf_counter()
        with pytest.raises(expected):
            long_decode[path]()
        return time.perf_counter() - start

    whole = timed(ValueError)
    timer = threading.Timer(whole / 10, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    assert timed(KeyboardInterrupt) < whole / 2


def test_ctrl_c_interrupts_a_long_scan():
    import signal
    import threading
    import time

    from korvane import _columns

    junk = b"BUFx" * (96 << 20)  # a candidate marker every four bytes, and no message

    def timed(expected=None):
        start = time.perf_counter()
        if expected is None:
            assert _columns.scan(junk)[2] == []
        else:
            with pytest.raises(expected):
                _columns.scan(junk)
        return time.perf_counter() - start

    whole = timed()
    timer = threading.Timer(whole / 10, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    assert timed(KeyboardInterrupt) < whole / 2


# A compressed message of 65535 subsets whose columns cost 7 bits each (a
# 1-bit element, R0 and NBINC 0) would give 9362 items per bit of data; the
# decoder's bound on items per bit stops it before they are stored, within
# 1 GiB of address space, and so does a caller's max_items on a real message.
AMPLIFYING = """
import korvane
from bufr_builder import build
from korvane import _korvane
tables = _korvane.TableSet.from_eccodes(sys.argv[1])
message = build(descriptors=[103255, 102255, 101255, 31031], data=b"\\0" * (1 << 20), subsets=65535, compressed=True)
try:
    korvane.open(message, tables=tables)[0].decode().value
    print("ok")
except korvane.DecodeError as e:
    print(e.kind, e.reason)
"""


@pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizer's allocator aborts when memory runs out instead of throwing")
def test_an_amplifying_message_fails_within_its_bound(tmp_path, definitions_root):
    limit = LIMITED.split("try:")[0].format(headroom=1024)  # the limit alone, without the call
    here = f"import sys; sys.path.insert(0, {os.path.dirname(__file__)!r})\n"
    outcome = run_child(here + limit + AMPLIFYING, str(definitions_root / "bufr/tables/0/wmo/13"), timeout=120)
    assert outcome.startswith("limit decoding would give more than ")


def test_max_items_bounds_one_message(corpus_dir):
    import korvane

    path = corpus_dir / "ed4" / "ISMD01_OKPR.bufr"
    with korvane.open(path, max_items=100) as f:
        with pytest.raises(korvane.DecodeError) as e:
            f[0].decode()
    assert (e.value.kind, e.value.reason) == ("limit", "the message gives more than 100 items, the max_items budget")
    with korvane.open(path, max_items=10**6) as f:
        assert len(f[0].decode()) == len(korvane.open(path)[0].decode())
    with pytest.raises(ValueError, match="max_items must be a positive int"):
        korvane.open(path, max_items=0)
