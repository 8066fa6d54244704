"""Encoding speed and memory: korvane against ecCodes on the corpus, in one run.

    PYTHONPATH=<stage> python3.13 benchmarks/bench_encode.py [--rounds N]

Every message of ../shared/corpus (ed4 and ed3) that both korvane and ecCodes
decode is written again from its decoded values, best of N passes:

- korvane: Message.encode(values) with the values decoded beforehand,
  which writes the message from them with its own header. Decoded values of
  compressed data are kept as the data hold them (a row every subset shares,
  and the columns that vary) until an array is asked for, and the encoder
  reads them so; the second korvane line is the same with every array laid
  out item by item first (as for values a caller built or changed);
- ecCodes 2.x through Debian's python3-eccodes, run by /usr/bin/python3
  (benchmarks/peer_eccodes_pack.py): each message unpacked beforehand, then
  packed again from the values it holds and its bytes taken.

Then korvane's peak memory for the message that writes the most bytes: the
growth of the peak resident set of a fresh process while the message is
written and held, with its input columns (decoded beforehand) against the
bound of twice the output's size plus the input columns.
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
CORPUS = HERE.parent.parent / "shared" / "corpus"
PEER = ["/usr/bin/python3", str(HERE / "peer_eccodes_pack.py")]

import korvane  # noqa: E402


def messages() -> list:
    out = []
    for path in sorted(CORPUS.glob("ed4/*.bufr")) + sorted(CORPUS.glob("ed3/*.bufr")):
        for m in korvane.open(path, errors="skip"):
            try:
                v = m.decode()
            except korvane.DecodeError:
                continue
            out.append((path, m, v))
    return out


def best(rounds: int, fn) -> float:
    times = []
    for _ in range(rounds):
        gc.collect()
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


PROBE = r"""
import ctypes, sys
import korvane
path, offset = sys.argv[1], int(sys.argv[2])
m = next(m for m in korvane.open(path) if m.offset == offset)
v = m.decode()
arrays = (v.code, v.missing, v.value, v.raw)
texts = v._encoding_texts()
inputs = sum(a.nbytes for a in arrays) + sum(len(t) for t in texts)
m.encode(v)  # warm up: the writer's module and code paths

def status(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(field + ":"))

# Give freed memory back, then reset the peak resident set (VmHWM) to now.
ctypes.CDLL(None).malloc_trim(0)
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
before = status("VmRSS")
out = m.encode(v)
print(status("VmHWM") - before, len(out), inputs, len(v))
"""


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--rounds", type=int, default=5, help="passes per encoder; the best is kept")
    args = ap.parse_args()

    work = messages()
    specs = [f"{path}:{m.offset}:{m.length}" for path, m, _ in work]
    peer = json.loads(subprocess.run(PEER + [str(args.rounds)] + specs, capture_output=True, text=True,
                                     check=True).stdout)
    failed = set(peer["failed"])
    if failed:
        print(f"left out: {len(failed)} messages that ecCodes cannot unpack or pack")
    work = [(p, m, v) for (p, m, v), spec in zip(work, specs) if spec not in failed]
    items = sum(len(v) for _, _, v in work)
    written = sum(len(m.encode(v)) for _, m, v in work)
    print(f"{len(work)} messages, {items} items, {written} bytes written per pass, best of {args.rounds}")

    def run_korvane():
        for _, m, v in work:
            m.encode(v)

    k = best(args.rounds, run_korvane)
    laid_out = []
    for _, m, v in work:
        w = m.decode()
        w.code, w.missing, w.value, w.raw  # laid out before the timing
        laid_out.append((m, w))

    def run_laid_out():
        for m, w in laid_out:
            m.encode(w)

    k2 = best(args.rounds, run_laid_out)
    e = peer["seconds"]
    print(f"korvane  {k * 1e3:8.1f} ms  {items / k / 1e6:7.2f} M items/s  {written / k / 2**20:7.1f} MiB/s")
    print(f"korvane  {k2 * 1e3:8.1f} ms  {items / k2 / 1e6:7.2f} M items/s  {written / k2 / 2**20:7.1f} MiB/s"
          f"  (arrays laid out)")
    print(f"ecCodes  {e * 1e3:8.1f} ms  {items / e / 1e6:7.2f} M items/s  {peer['bytes'] / e / 2**20:7.1f} MiB/s"
          f"  (ecCodes {peer['version']})")
    print(f"ratio    korvane is {e / k:.1f}x the speed of ecCodes ({e / k2:.1f}x with arrays laid out)")

    path, m, v = max(work, key=lambda w: w[1].length)
    growth, size, inputs, n = map(int, subprocess.run(
        # -P: the probe imports korvane from PYTHONPATH, not from a checkout
        # that happens to be the working directory.
        [sys.executable, "-P", "-c", PROBE, str(path), str(m.offset)], capture_output=True, text=True,
        check=True).stdout.split())
    bound = 2 * size + inputs
    print(f"largest  {path.name} at {m.offset}: {n} items, {size} bytes written, input columns {inputs} bytes")
    print(f"memory   peak RSS growth {growth / 2**20:.2f} MiB while writing and holding it; bound "
          f"2 x output + input columns = {bound / 2**20:.2f} MiB ({growth / bound:.0%} of it)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
