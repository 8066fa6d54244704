"""Columnar decoding against ecCodes' bulk decode, in one run.

    .venv/bin/python benchmarks/bench_columns.py [--rounds N]

Sets: (a) every edition 4 corpus message except IUSK73_AMMC_040000 (on which
ecCodes is pathologically slow) and the damaged jason2.bufr, (b) mhen_55
alone (2,070 compressed subsets, 322,920 items). For each, best of N passes:

- korvane columnar: Message.decode() with the tables cached, and its value
  array (ecCodes' numericValues is the like of it). Arrays are laid out on
  first use, so decode() alone and decode() with all five arrays (code, kind,
  missing, value, raw) are shown too;
- korvane objects: decode_values_with_tables (one DecodedValue per item);
- ecCodes 2.x through Debian's python3-eccodes, run by /usr/bin/python3
  (benchmarks/peer_eccodes.py): unpack, then numericValues.

Then the peak memory per item for mhen_55 in both korvane paths (growth of
the peak resident set of a fresh process while the result is made and held),
and peak memory and time of the hostile messages the item bound stops.
"""

from __future__ import annotations

import argparse
import gc
import json
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
CORPUS = HERE.parent.parent / "shared" / "corpus" / "ed4"
sys.path.insert(0, str(HERE.parent / "tests"))

import korvane  # noqa: E402
from korvane import _korvane  # noqa: E402

PEER = ["/usr/bin/python3", str(HERE / "peer_eccodes.py")]
SLOW_FOR_ECCODES = "IUSK73_AMMC_040000.bufr"


def messages(names):
    out = []
    for name in names:
        f = korvane.open(CORPUS / name, errors="skip")
        for m in f:
            try:
                m.decode()
            except korvane.DecodeError:
                continue  # jason2.bufr: its data end early
            out.append((CORPUS / name, m))
    return out


def all_arrays(values) -> tuple:
    return values.code, values.kind, values.missing, values.value, values.raw


def best(rounds: int, fn) -> float:
    times = []
    for _ in range(rounds):
        gc.collect()
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def eccodes_time(rounds: int, work) -> dict:
    specs = [f"{path}:{m.offset}:{m.length}" for path, m in work]
    out = subprocess.run(PEER + [str(rounds)] + specs, capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


PROBE = r"""
import ctypes, gc, sys
import korvane
from korvane import _korvane
kind, path = sys.argv[1:3]
m = korvane.open(path)[0]
data = bytes(m.bytes)
def all_arrays(v):  # every array laid out, as a caller reading them all has them
    return v.code, v.kind, v.missing, v.value, v.raw
run = (lambda: all_arrays(m.decode())) if kind == "columns" else (lambda: _korvane.decode_values_with_tables(data, m.tables))
m.tables  # tables loaded; nothing decoded yet, so no memory is kept for reuse
gc.collect()
def status(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(field + ":"))
ctypes.CDLL(None).malloc_trim(0)
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
before = status("VmRSS")
result = run()
print(status("VmHWM") - before, len(result[0]) if kind == "columns" else len(result))
"""


def peak_per_item(kind: str, path: Path) -> tuple[float, int]:
    # Run outside the source tree, so that the installed package is the one imported.
    out = subprocess.run([sys.executable, "-c", PROBE, kind, str(path)], capture_output=True, text=True, check=True,
                         cwd="/")
    grown, items = map(int, out.stdout.split())
    return grown / items, items


HOSTILE = r"""
import resource, sys, time
sys.path.insert(0, sys.argv[2])
import korvane
from korvane import _korvane
from bufr_builder import build
from datatables import ELEMENTS, make_tables
import tempfile
case = sys.argv[1]
root = tempfile.mkdtemp()
make_tables(__import__("pathlib").Path(root), ELEMENTS + [(60013, "EMPTY", "Numeric", 0, 0, 0)], {})
tables = _korvane.TableSet.from_eccodes(root)
if case == "compressed placeholders (1,077 bytes)":
    msg = build(descriptors=[102255, 101255, 222000], data=b"\0" * 1000, subsets=65535, compressed=True)
elif case == "uncompressed empty elements (1 MB)":
    msg = build(descriptors=[103255, 102255, 101255, 60013], data=b"\0" * (1 << 20))
else:  # compressed text columns with NBINC 0 (16 KB): 780 texts of 20 bytes, each for 65535 subsets
    from bufr_builder import Bits
    data = Bits().uint(780, 16).uint(0, 6)
    for _ in range(780):
        data.text("A" * 20, 160).uint(0, 6)
    msg = build(descriptors=[101000, 31002, 1015], data=data.to_bytes(), subsets=65535, compressed=True)
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
t = time.perf_counter()
for path in ("columns", "objects"):
    try:
        if path == "columns":
            r = korvane.open(msg, tables=tables)[0].decode()
        else:
            r = _korvane.decode_values_with_tables(msg, tables)
        outcome = f"{len(r)} items"
    except (ValueError, MemoryError) as e:
        outcome = str(e)[-110:]
    print(f"{path}: {outcome}")
print(f"{(time.perf_counter() - t) * 1e3:.1f} ms, peak RSS growth "
      f"{(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) / 1024:.1f} MiB, {len(msg)} bytes")
"""


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--rounds", type=int, default=7)
    args = ap.parse_args()

    names = sorted(p.name for p in CORPUS.glob("*.bufr"))
    sets = {
        "(a) ed4 corpus without IUSK73_AMMC_040000": messages([n for n in names if n != SLOW_FOR_ECCODES]),
        "(b) mhen_55": messages(["mhen_55.bufr"]),
    }
    for title, work in sets.items():
        items = sum(len(m.decode()) for _, m in work)
        for _, m in work:
            m.tables  # load and cache outside the timing
        blobs = [(bytes(m.bytes), m.tables) for _, m in work]
        col = best(args.rounds, lambda: [m.decode().value for _, m in work])
        bare = best(args.rounds, lambda: [m.decode() for _, m in work])
        every = best(args.rounds, lambda: [all_arrays(m.decode()) for _, m in work])
        obj = best(args.rounds, lambda: [_korvane.decode_values_with_tables(b, t) for b, t in blobs])
        ecc = eccodes_time(args.rounds, work)
        print(f"{title}: {len(work)} messages, {items} items; ecCodes {ecc['version']} "
              f"{ecc['values']} numeric values")
        print(f"  ecCodes bulk     {ecc['seconds'] * 1e3:8.2f} ms")
        for label, t in (("columns, value", col), ("decode() alone", bare), ("all five arrays", every)):
            print(f"  korvane {label:16s}{t * 1e3:8.2f} ms  {items / t / 1e6:7.1f} M items/s  "
                  f"{ecc['seconds'] / t:5.1f}x ecCodes")
        print(f"  korvane objects  {obj * 1e3:8.2f} ms  {items / obj / 1e6:7.1f} M items/s  "
              f"{ecc['seconds'] / obj:5.1f}x ecCodes")

    for kind in ("columns", "objects"):
        per_item, items = peak_per_item(kind, CORPUS / "mhen_55.bufr")
        print(f"peak memory, mhen_55, {kind:8s}: {per_item:6.1f} B/item ({items} items)")

    for case in ("compressed placeholders (1,077 bytes)", "uncompressed empty elements (1 MB)",
                 "compressed text column NBINC 0 (16 KB)"):
        out = subprocess.run([sys.executable, "-c", HOSTILE, case, str(HERE.parent / "tests")],
                             capture_output=True, text=True, cwd="/")
        print(f"hostile: {case}: " + " | ".join((out.stdout or out.stderr).strip().splitlines()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
