"""Tables of observations read in the core: korvane.read_bufr against pdbufr on
a feed of small messages, file by file over the corpus, and on mhen_55; flat
reads; threads; memory; the command's convert; opening a small file.

    PYTHONPATH=<stage> python3.13 benchmarks/bench_engine.py [--repeat N] [--pdbufr-python PATH]

pdbufr runs in its own interpreter (see compare_pdbufr.py for its venv) and is
timed there, selection by selection, right before korvane on the same one, so
that both meet the same load; each figure is the best of N runs after a
warm-up run. The feed is made here from the corpus (../shared, or
$KORVANE_SHARED): every one-subset SYNOP (data category 0) and TEMP (2)
message of editions 3 and 4 that decodes, repeated in turn up to 10,000
messages, written to a temporary file, as a feed of one report per message
arrives.
"""

from __future__ import annotations

import argparse
import glob
import json
import os
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
SHARED = Path(os.environ.get("KORVANE_SHARED") or HERE.parent.parent / "shared")
ED4 = SHARED / "corpus" / "ed4"
FEED_MESSAGES = 10_000
FEED_COLUMNS = ["data_datetime", "stationNumber", "latitude", "longitude", "pressure", "airTemperature"]

sys.path.insert(0, str(HERE))
from bench_frames import QUANTITY  # noqa: E402


READABLE = """
import sys, eccodes
ok = []
with open(sys.argv[1], "rb") as f:
    i = 0
    while True:
        h = eccodes.codes_bufr_new_from_file(f)
        if h is None:
            break
        try:
            eccodes.codes_set(h, "unpack", 1)
            ok.append(i)
        except eccodes.CodesInternalError:
            pass
        eccodes.codes_release(h)
        i += 1
print(" ".join(map(str, ok)))
"""


def make_feed(path: Path, python: str) -> int:
    """Writes the feed; returns its number of messages. Messages that ecCodes
    (under pdbufr) cannot decode are left out, so that both read all of it."""
    import korvane

    picked = []
    for name in sorted(glob.glob(str(SHARED / "corpus" / "ed[34]" / "*.bufr"))):
        with korvane.open(name, errors="skip") as f:
            for m in f:
                if m.number_of_subsets != 1 or m.data_category not in (0, 2) or m.compressed_data:
                    continue
                try:
                    m.decode()
                except korvane.DecodeError:
                    continue
                picked.append(bytes(m.bytes))
    path.write_bytes(b"".join(picked))
    done = subprocess.run([python, "-c", READABLE, str(path)], capture_output=True, text=True, check=True)
    picked = [picked[int(i)] for i in done.stdout.split()]
    with open(path, "wb") as out:
        for i in range(FEED_MESSAGES):
            out.write(picked[i % len(picked)])
    return FEED_MESSAGES


def selections(feed: str) -> list[tuple[str, list[tuple[str, list[str] | None]]]]:
    """(name, [(path, columns or None for flat), ...]): one call per file."""
    corpus = [(str(ED4 / f), ["latitude", "longitude", q]) for f, q in QUANTITY.items()]
    out = [
        (f"feed ({FEED_MESSAGES:,} one-subset SYNOP and TEMP messages, ed3 and ed4)", [(feed, FEED_COLUMNS)]),
        ("mhen_55: latitude, longitude, brightnessTemperature",
         [(str(ED4 / "mhen_55.bufr"), ["latitude", "longitude", "brightnessTemperature"])]),
    ]
    out += [(f"  {Path(p).name}: latitude, longitude, {c[2]}", [(p, c)]) for p, c in corpus]
    out += [
        ("flat: mhen_55", [(str(ED4 / "mhen_55.bufr"), None)]),
        ("flat: IUSK73_AMMC_040000 (a sounding)", [(str(ED4 / "IUSK73_AMMC_040000.bufr"), None)]),
        (f"flat: the corpus ({len(corpus)} files)", [(p, None) for p, _ in corpus]),
    ]
    return out


def timed(repeat: int, read, calls) -> tuple[float, int]:
    seconds = rows = 0
    for path, columns in calls:
        def once():
            if columns is None:
                return read(path, flat=True)
            return read(path, columns=columns, required_columns=False)

        rows += len(once())
        best = float("inf")
        for _ in range(repeat):
            t = time.perf_counter()
            once()
            best = min(best, time.perf_counter() - t)
        seconds += best
    return seconds, rows


def pdbufr_side(repeat: int, which: int, feed: str) -> tuple[float, int]:
    import warnings

    import pdbufr

    warnings.simplefilter("ignore")
    _, calls = selections(feed)[which]

    def read(path, columns=None, flat=False, required_columns=False):
        return pdbufr.read_bufr(path, flat=True) if flat else pdbufr.read_bufr(
            path, columns=columns, required_columns=required_columns)

    return timed(repeat, read, calls)


def best_of(repeat: int, fn) -> float:
    fn()
    best = float("inf")
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t)
    return best


def threads_table(repeat: int, feed: str) -> None:
    import korvane

    print(f"\n{'threads: rows/s and items/s':58} {'1 thread':>14} {'2 threads':>14} {'speed-up':>9}")
    for name, path, columns in [
        ("feed", feed, FEED_COLUMNS),
        ("a large file: the edition 3 corpus as one file", None, ["latitude", "longitude", "airTemperature"]),
    ]:
        if path is None:
            data = b"".join(Path(p).read_bytes() for p in sorted(glob.glob(str(SHARED / "corpus/ed3/*.bufr"))))
            data = data * 4
            path = data
        rows = len(korvane.read_bufr(path, columns=columns, required_columns=False, threads=1, errors="skip"))
        items = sum(len(m.decode()) for m in korvane.open(path, errors="skip") if _decodes(m))
        one = best_of(repeat, lambda: korvane.read_bufr(path, columns=columns, required_columns=False, threads=1,
                                                         errors="skip"))
        two = best_of(repeat, lambda: korvane.read_bufr(path, columns=columns, required_columns=False, threads=2,
                                                         errors="skip"))
        print(f"{name:58} {rows / one:11,.0f} r/s {rows / two:11,.0f} r/s {one / two:8.2f}x")
        print(f"{'':58} {items / one:11,.0f} i/s {items / two:11,.0f} i/s")


def _decodes(m) -> bool:
    import korvane

    try:
        m.decode()
        return True
    except korvane.DecodeError:
        return False


MEMORY = """
import os, resource, sys, korvane, pandas
columns = sys.argv[2].split(",")
# What every read needs once (pandas, the tables) is loaded by a first small
# read; the figure is the growth of the process's peak over its size then.
korvane.read_bufr(sys.argv[4], columns=columns, required_columns=False)
with open("/proc/self/statm") as f:
    before = int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024
df = korvane.read_bufr(sys.argv[1], columns=columns, required_columns=False, threads=int(sys.argv[3]))
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(peak - before, int(df.memory_usage(deep=True).sum()) // 1024, len(df), len(korvane.open(sys.argv[1])))
"""


def memory_table(feed: str) -> None:
    print(f"\n{'peak memory of read_bufr (a fresh process)':58} {'peak KiB':>10} {'table KiB':>10} "
          f"{'per message':>12}")
    for name, path, columns in [
        ("feed", feed, FEED_COLUMNS),
        ("mhen_55", str(ED4 / "mhen_55.bufr"), ["latitude", "longitude", "brightnessTemperature"]),
    ]:
        for threads in (1, 2):
            out = subprocess.run([sys.executable, "-c", MEMORY, path, ",".join(columns), str(threads),
                                  str(ED4 / "ISND02_LLBD.bufr")],
                                 capture_output=True, text=True, check=True).stdout.split()
            peak, table, rows, messages = map(int, out)
            print(f"{name + f', {threads} thread(s)':58} {peak:10,} {table:10,} "
                  f"{(peak - table) * 1024 / messages:9,.0f} B")


def convert_table(repeat: int, feed: str) -> None:
    import korvane

    korvane_cmd = [sys.executable, "-m", "korvane", "convert", feed, "--columns", ",".join(FEED_COLUMNS),
                   "--required", "none", "-o"]
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "feed.csv")
        run = lambda: subprocess.run(korvane_cmd + [out], check=True, capture_output=True)  # noqa: E731
        cmd = best_of(repeat, run)

        def python_side():
            df = korvane.read_bufr(feed, columns=FEED_COLUMNS, required_columns=False)
            df.to_csv(out, index=False)

        start = best_of(repeat, lambda: subprocess.run([sys.executable, "-c", "import korvane.frames, pandas"],
                                                         check=True))
        lib = best_of(repeat, python_side)
    print(f"\n{'korvane convert against read_bufr + to_csv on the feed':58} {'command':>10} {'library':>10} "
          f"{'ratio':>7}")
    print(f"{'(the command less its interpreter start with pandas)':58} {cmd - start:9.3f}s {lib:9.3f}s "
          f"{(cmd - start) / lib:6.2f}x")


def open_table(repeat: int) -> None:
    import korvane

    path = ED4 / "ISND02_LLBD.bufr"

    def open_close():
        with korvane.open(path):
            pass

    def decode():
        with korvane.open(path) as f:
            for m in f:
                m.decode().value

    o = best_of(repeat * 50, open_close)
    d = best_of(repeat * 50, decode) - o
    print(f"\n{'opening and closing a small file against decoding it':58} {'open+close':>11} {'decode':>10} "
          f"{'ratio':>7}")
    print(f"{path.name:58} {o * 1e6:9.1f}us {d * 1e6:8.1f}us {o / d:6.2f}x")


SECTIONS = ["speed", "threads", "memory", "convert", "open"]


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--pdbufr", type=int, metavar="N", help="time pdbufr on selection N here and print JSON")
    ap.add_argument("--feed", help=argparse.SUPPRESS)
    ap.add_argument("--pdbufr-python", help="the interpreter that has pdbufr (default: ../venv-pdbufr)")
    ap.add_argument("--only", nargs="+", choices=SECTIONS, default=SECTIONS, help="the tables to print (default: all)")
    ap.add_argument("--match", default="", help="time only the selections whose name holds this text")
    args = ap.parse_args()
    if args.pdbufr is not None:
        json.dump(pdbufr_side(args.repeat, args.pdbufr, args.feed), sys.stdout)
        return 0

    import warnings

    import korvane

    warnings.simplefilter("ignore")
    python = args.pdbufr_python or str(HERE.parent.parent / "venv-pdbufr" / "bin" / "python")
    with tempfile.TemporaryDirectory() as tmp:
        feed = str(Path(tmp) / "feed.bufr")
        make_feed(Path(feed), python)
        # Children run in the temporary directory, so that a checkout's source
        # tree never shadows the installed package.
        os.chdir(tmp)
        if "speed" in args.only:
            print(f"{'selection':68} {'rows':>8} {'pdbufr s':>9} {'korvane s':>10} {'speed-up':>9}")
        for which, (name, calls) in enumerate(selections(feed)):
            if "speed" not in args.only or args.match not in name:
                continue
            cmd = [python, str(Path(__file__).resolve()), "--pdbufr", str(which), "--repeat", str(args.repeat), "--feed", feed]
            done = subprocess.run(cmd, capture_output=True, text=True)
            if done.returncode != 0:
                print(done.stderr, file=sys.stderr)
                return 2
            p_seconds, p_rows = json.loads(done.stdout)
            seconds, rows = timed(args.repeat, korvane.read_bufr, calls)
            note = "" if p_rows == rows else f"  (pdbufr: {p_rows} rows)"
            print(f"{name:68} {rows:8} {p_seconds:9.4f} {seconds:10.4f} {p_seconds / seconds:8.1f}x{note}",
                  flush=True)
        if "threads" in args.only:
            threads_table(args.repeat, feed)
        if "memory" in args.only:
            memory_table(feed)
        if "convert" in args.only:
            convert_table(args.repeat, feed)
        if "open" in args.only:
            open_table(args.repeat)
        os.chdir(HERE)
    return 0


if __name__ == "__main__":
    sys.exit(main())
