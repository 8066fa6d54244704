"""Decoding speed: korvane against ecCodes on the corpus of edition 4 messages.

    PYTHONPATH=<stage> python3.13 benchmarks/bench_decode.py [--repeat N]

Every message of ../shared/corpus/ed4 is decoded with tables loaded once per
table choice (TableSet.from_definitions, outside the timing) through
decode_values_with_tables, which returns one DecodedValue object per value.
In the same run the same messages go through ecCodes' Python bindings when
they are installed (`pip install eccodes`): unpack, then read all numeric and
string values (the numericValues and stringValues arrays). Messages that a
decoder cannot decode (jason2.bufr is damaged) are left out for both.

Prints values per second for both decoders, their ratio, and the peak memory
of decoding the largest message (2070 subsets), each decoder measured in a
fresh process: the growth of the peak resident set while the values are
decoded and held (korvane: the list of DecodedValue objects; ecCodes: the
unpacked message and its value array), and korvane's Python heap (tracemalloc).
"""

from __future__ import annotations

import argparse
import gc
import statistics
import subprocess
import sys
import time
from pathlib import Path

from korvane import _korvane

CORPUS = Path(__file__).resolve().parent.parent.parent / "shared" / "corpus" / "ed4"
DEFINITIONS = "/usr/share/eccodes/definitions"


def corpus_messages() -> list[tuple[str, bytes, _korvane.BufrMessage]]:
    out = []
    for path in sorted(CORPUS.glob("*.bufr")):
        data = path.read_bytes()
        pos = 0
        for i, m in enumerate(_korvane.parse_all_bytes(data)):
            start = data.find(b"BUFR", pos)
            pos = start + m.total_length
            out.append((f"{path.name}#{i + 1}", data[start:pos], m))
    return out


def table_key(m: _korvane.BufrMessage) -> tuple:
    return (
        m.master_table_number,
        m.master_tables_version_number,
        m.local_tables_version_number,
        m.originating_centre,
        m.originating_subcentre,
    )


def best_of(repeat: int, fn) -> float:
    times = []
    for _ in range(repeat):
        gc.collect()
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def eccodes_decoder():
    try:
        import eccodes
    except ImportError:
        return None, None

    def decode(data: bytes) -> int:
        h = eccodes.codes_new_from_message(data)
        try:
            eccodes.codes_set(h, "unpack", 1)
            numbers = eccodes.codes_get_array(h, "numericValues")
            try:
                strings = eccodes.codes_get_array(h, "stringValues")
            except eccodes.KeyValueNotFoundError:
                strings = []
            return len(numbers) + 0 * len(strings)
        finally:
            eccodes.codes_release(h)

    return decode, eccodes.codes_get_api_version()


PROBE = """
import ctypes, gc, sys, tracemalloc
from korvane import _korvane
kind, path, definitions = sys.argv[1:4]
data = open(path, "rb").read()
m = _korvane.parse_all_bytes(data)[0]
data = data[data.find(b"BUFR"):][: m.total_length]
if kind.startswith("korvane"):
    tables = _korvane.TableSet.from_definitions(definitions, m)
    run = lambda: _korvane.decode_values_with_tables(data, tables)
else:
    import eccodes
    def run():
        h = eccodes.codes_new_from_message(data)
        eccodes.codes_set(h, "unpack", 1)
        return h, eccodes.codes_get_array(h, "numericValues")
run()  # warm up: types, code paths, ecCodes' table cache
gc.collect()
if kind == "korvane-traced":
    tracemalloc.start()
    values = run()
    print(tracemalloc.get_traced_memory()[1])
    sys.exit()

def status(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(field + ":"))

# Give freed memory back, then reset the peak resident set (VmHWM) to now.
ctypes.CDLL(None).malloc_trim(0)
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
before = status("VmRSS")
values = run()
print(status("VmHWM") - before)
"""


def memory_probe(kind: str, path: Path) -> int:
    """Bytes of peak memory growth for decoding the first message of `path`."""
    out = subprocess.run([sys.executable, "-c", PROBE, kind, str(path), DEFINITIONS],
                         capture_output=True, text=True, check=True)
    return int(out.stdout.split()[-1])


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=5, help="runs per decoder; the best is kept")
    args = ap.parse_args()

    messages = corpus_messages()
    tables = {}
    for _, _, m in messages:
        key = table_key(m)
        if key not in tables:
            tables[key] = _korvane.TableSet.from_definitions(DEFINITIONS, m)

    ecc, ecc_version = eccodes_decoder()

    # Only the messages that both decoders decode take part.
    work = []
    for name, data, m in messages:
        try:
            n = len(_korvane.decode_values_with_tables(data, tables[table_key(m)]))
        except ValueError as e:
            print(f"skipped {name}: korvane: {e}")
            continue
        if ecc is not None:
            try:
                ecc(data)
            except Exception as e:  # ecCodes raises its own exception classes
                print(f"skipped {name}: ecCodes: {e}")
                continue
        work.append((data, tables[table_key(m)], n))
    total = sum(n for _, _, n in work)
    print(f"{len(work)} messages, {total} values per pass, best of {args.repeat}")

    def run_korvane():
        for data, t, _ in work:
            _korvane.decode_values_with_tables(data, t)

    k_time = best_of(args.repeat, run_korvane)
    print(f"korvane  {k_time * 1e3:8.1f} ms  {total / k_time / 1e6:7.2f} M values/s")

    if ecc is not None:
        def run_eccodes():
            for data, _, _ in work:
                ecc(data)

        run_eccodes()  # ecCodes loads and caches its tables on first use
        e_time = best_of(args.repeat, run_eccodes)
        print(f"ecCodes  {e_time * 1e3:8.1f} ms  {total / e_time / 1e6:7.2f} M values/s  (ecCodes {ecc_version})")
        print(f"ratio    korvane is {e_time / k_time:.2f}x the speed of ecCodes")
    else:
        print("ecCodes: Python bindings not installed (pip install eccodes)")

    # Peak memory for the largest message, each measured in a fresh process.
    name, data, m = max(messages, key=lambda x: x[2].number_of_subsets)
    n = len(_korvane.decode_values_with_tables(data, tables[table_key(m)]))
    path = CORPUS / name.split("#")[0]
    print(f"largest  {name}: {m.number_of_subsets} subsets, {n} values")
    rss = memory_probe("korvane-rss", path)
    traced = memory_probe("korvane-traced", path)
    print(f"memory   korvane: peak RSS growth {rss / 2**20:.1f} MiB ({rss / n:.0f} B/value) while decoding "
          f"and holding the list; Python heap {traced / 2**20:.1f} MiB ({traced / n:.0f} B/value, tracemalloc)")
    if ecc is not None:
        rss = memory_probe("eccodes-rss", path)
        print(f"memory   ecCodes: peak RSS growth {rss / 2**20:.1f} MiB ({rss / n:.0f} B/value) "
              "for unpack and the value arrays")
    times = []
    for _ in range(args.repeat):
        t0 = time.perf_counter()
        _korvane.decode_values_with_tables(data, tables[table_key(m)])
        times.append(time.perf_counter() - t0)
    print(f"largest  korvane decode {statistics.median(times) * 1e3:.1f} ms median")
    return 0


if __name__ == "__main__":
    sys.exit(main())
