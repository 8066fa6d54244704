"""The korvane command against ecCodes' bufr_dump and bufr_ls, as a user runs them.

    python3.13 benchmarks/bench_cli.py [--korvane PATH] [--runs N]

Times, with hyperfine when it is installed (Debian package "hyperfine"; else
a loop of fork and exec here), `korvane dump` against `bufr_dump` and
`korvane ls` against `bufr_ls` on one small file (the start-up cost) and on
every file of ../shared/corpus/ed4 in one command; `ls` on ed4 and ed3 too
(bufr_dump stops at the first edition 3 message it cannot decode). For each, the wall time
(mean and minimum) and the CPU time of the process (user + system, minimum
and median: on a machine shared with other work this varies less than the
wall time) are printed, with the ratio of korvane to ecCodes. Then the bare
interpreter's start-up (`python -c pass` and `python -I -S -c pass`), the
floor under any Python command; `korvane copy`, `set` and `compare` against
`bufr_copy`, `bufr_set` and `bufr_compare` on a feed (the edition 3 corpus
in one file); and the sizes of the JSON that
`korvane dump --json [--compact]` and `bufr_dump -j s` write for mhen_55.

bufr_dump prints JSON by default (the same as -j s: an array per key of a
compressed message, written once when its values are all equal) and no
code-table meanings; korvane dump prints a line per item and subset with key,
name, unit and meaning. `korvane dump --json --compact` is the like of
`bufr_dump -j s`, and is timed against it on the corpus too.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

CORPUS = Path(__file__).resolve().parent.parent.parent / "shared" / "corpus" / "ed4"
SMALL = CORPUS / "ISND02_LLBD.bufr"


def cpu_times(cmd: list[str], runs: int) -> tuple[list[float], list[float]]:
    """Wall and CPU seconds of `runs` runs of cmd, output discarded."""
    wall, cpu = [], []
    for _ in range(runs):
        t = time.perf_counter()
        pid = os.fork()
        if pid == 0:  # the child: output to /dev/null, then the command
            fd = os.open(os.devnull, os.O_WRONLY)
            os.dup2(fd, 1)
            os.dup2(fd, 2)
            try:
                os.execvp(cmd[0], cmd)
            finally:
                os._exit(127)
        _, status, usage = os.wait4(pid, 0)
        wall.append(time.perf_counter() - t)
        cpu.append(usage.ru_utime + usage.ru_stime)
        if os.waitstatus_to_exitcode(status) < 0:  # a damaged file may give a non-zero status, not a signal
            raise SystemExit(f"{' '.join(cmd)} was killed by signal {-os.waitstatus_to_exitcode(status)}")
    return wall, cpu


def hyperfine_means(cmds: list[list[str]], runs: int) -> list[tuple[float, float]] | None:
    """(mean, min) wall seconds per command from hyperfine, or None without it."""
    if shutil.which("hyperfine") is None:
        return None
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "h.json"
        subprocess.run(["hyperfine", "-N", "--warmup", "3", "--runs", str(runs), "-i", "--export-json", str(out),
                        *[" ".join(c) for c in cmds]], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        results = json.loads(out.read_text())["results"]
    return [(r["mean"], r["min"]) for r in results]


def compare(title: str, pairs: list[tuple[str, list[str]]], runs: int) -> None:
    print(f"\n{title}")
    hf = hyperfine_means([c for _, c in pairs], runs)
    rows = []
    for i, (name, cmd) in enumerate(pairs):
        wall, cpu = cpu_times(cmd, runs)
        mean, best = hf[i] if hf else (statistics.mean(wall), min(wall))
        rows.append((name, mean, best, min(cpu), statistics.median(cpu)))
    print(f"  {'':34} {'wall mean':>10} {'wall min':>9} {'cpu min':>8} {'cpu med':>8}   (ms)")
    for name, mean, best, cmin, cmed in rows:
        print(f"  {name:34} {mean * 1e3:10.1f} {best * 1e3:9.1f} {cmin * 1e3:8.1f} {cmed * 1e3:8.1f}")
    for k in range(0, len(rows) - 1, 2):
        a, b = rows[k], rows[k + 1]
        print(f"  {a[0]} / {b[0]}: wall mean x{a[1] / b[1]:.2f}, wall min x{a[2] / b[2]:.2f}, "
              f"cpu min x{a[3] / b[3]:.2f}")


def feed_commands(k: str, tmp: Path, runs: int) -> None:
    """copy, set and compare against bufr_copy, bufr_set and bufr_compare on
    a feed: the edition 3 corpus, 1,120 messages of one to 500 subsets, in
    one file (compare: against a copy whose every header differs, so that
    both tools decode every message; bufr_compare goes past the first
    difference only with -f); and the start-up of ls with a condition on a
    header key."""
    feed = tmp / "feed.bufr"
    with open(feed, "wb") as out:
        for p in sorted((CORPUS.parent / "ed3").glob("*.bufr")):
            out.write(p.read_bytes())
    out = str(tmp / "out.bufr")
    split = str(tmp / "[dataCategory]_[typicalDate].bufr")
    # Every message differs from the feed's in its header: both tools decode them all.
    other = tmp / "other.bufr"
    subprocess.run(["bufr_set", "-s", "updateSequenceNumber=3", str(feed), str(other)], check=True)
    compare(f"a feed ({feed.stat().st_size:,} bytes, the edition 3 corpus in one file)", [
        ("korvane copy -w dataCategory=0", [k, "copy", "-w", "dataCategory=0", str(feed), out]),
        ("bufr_copy -w dataCategory=0", ["bufr_copy", "-w", "dataCategory=0", str(feed), out]),
        ("korvane copy [key]", [k, "copy", str(feed), split]),
        ("bufr_copy [key]", ["bufr_copy", str(feed), split]),
        ("korvane set -s dataCategory=9", [k, "set", "-s", "dataCategory=9", str(feed), out]),
        ("bufr_set -s dataCategory=9", ["bufr_set", "-s", "dataCategory=9", str(feed), out]),
        ("korvane compare --brief", [k, "compare", "--brief", str(feed), str(other)]),
        ("bufr_compare -f", ["bufr_compare", "-f", str(feed), str(other)]),
    ], runs)
    compare(f"a condition on a header key, one small file ({SMALL.name})", [
        ("korvane ls -w dataCategory=0", [k, "ls", "-w", "dataCategory=0", str(SMALL)]),
        ("korvane ls", [k, "ls", str(SMALL)]),
    ], runs * 10)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    here = Path(sys.executable).parent / "korvane"
    parser.add_argument("--korvane", default=str(here) if here.exists() else shutil.which("korvane") or "korvane")
    parser.add_argument("--runs", type=int, default=30)
    args = parser.parse_args()
    k = args.korvane
    if shutil.which("bufr_dump") is None:
        raise SystemExit("bufr_dump is missing: apt-get install libeccodes-tools")
    files = [str(p) for p in sorted(CORPUS.glob("*.bufr"))]
    print(f"korvane: {k}; load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")
    compare(f"one small file ({SMALL.name}, {SMALL.stat().st_size} bytes)", [
        ("korvane dump", [k, "dump", str(SMALL)]), ("bufr_dump", ["bufr_dump", str(SMALL)]),
        ("korvane ls", [k, "ls", str(SMALL)]), ("bufr_ls", ["bufr_ls", str(SMALL)]),
    ], args.runs)
    # jason2.bufr is damaged: both tools report it and go on, exiting 1.
    compare(f"the whole edition 4 corpus ({len(files)} files)", [
        ("korvane dump", [k, "dump", *files]), ("bufr_dump", ["bufr_dump", *files]),
        ("korvane dump --json --compact", [k, "dump", "--json", "--compact", *files]),
        ("bufr_dump -j s", ["bufr_dump", "-j", "s", *files]),
        ("korvane ls", [k, "ls", *files]), ("bufr_ls", ["bufr_ls", *files]),
    ], max(5, args.runs // 5))
    # bufr_dump stops at the first message of the edition 3 corpus that it
    # cannot decode (message 280 of 1,120), so only ls is timed on both.
    everything = files + [str(p) for p in sorted((CORPUS.parent / "ed3").glob("*.bufr"))]
    compare(f"the whole corpus, editions 3 and 4 ({len(everything)} files)", [
        ("korvane ls", [k, "ls", *everything]), ("bufr_ls", ["bufr_ls", *everything]),
    ], max(5, args.runs // 5))
    with tempfile.TemporaryDirectory() as tmp:
        feed_commands(k, Path(tmp), max(3, args.runs // 10))
    py = str(Path(k).resolve().parent / "python") if (Path(k).parent / "python").exists() else sys.executable
    compare("the interpreter alone", [("python -c pass", [py, "-c", "pass"]),
                                      ("python -I -S -c pass", [py, "-I", "-S", "-c", "pass"])], args.runs)
    mhen = str(CORPUS / "mhen_55.bufr")
    sizes = {
        "korvane dump --json": len(subprocess.run([k, "dump", "--json", mhen], capture_output=True).stdout),
        "korvane dump --json --compact": len(
            subprocess.run([k, "dump", "--json", "--compact", mhen], capture_output=True).stdout),
        "bufr_dump -j s": len(subprocess.run(["bufr_dump", "-j", "s", mhen], capture_output=True).stdout),
    }
    print("\nJSON of mhen_55.bufr (2070 subsets)")
    for name, size in sizes.items():
        print(f"  {name:34} {size:>10,} bytes")


if __name__ == "__main__":
    main()
