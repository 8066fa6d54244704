"""Reading files into private memory against memory-mapping them.

korvane.open reads a file's bytes into memory of its own (korvane._sources)
rather than mapping the file: a mapping faults (SIGBUS, the interpreter dies)
when another process truncates the file. This prints what that costs, against
a mapping of the same files measured in the same run (korvane.open of an mmap,
which is what korvane.open did with a path before):

* the corpus (every file of $KORVANE_SHARED/corpus/ed4 and ed3): open and scan
  every file; open, scan and decode every message;
* a file of 1 GiB made of the corpus's messages (in a temporary directory):
  open and scan; open, scan and decode every message.

Figures are the best of --repeat runs, with the files in the page cache.

    python benchmarks/bench_sources.py [--repeat 5] [--size-mib 1024] [--no-decode]
"""

from __future__ import annotations

import argparse
import mmap
import os
import tempfile
import time
from pathlib import Path

import korvane

HERE = Path(__file__).resolve().parent
SHARED = Path(os.environ.get("KORVANE_SHARED") or HERE.parent.parent / "shared")


def mapped(path):
    with open(path, "rb") as f:
        if os.fstat(f.fileno()).st_size == 0:
            return b""
        return mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)


def read_all(paths, how: str, decode: bool) -> int:
    items = 0
    for path in paths:
        source = mapped(path) if how == "mmap" else path
        with korvane.open(source, errors="skip") as f:
            if decode:
                for m in f:
                    try:
                        items += len(m.decode())
                    except korvane.DecodeError:
                        pass
            else:
                items += len(f)
        if how == "mmap" and source != b"":
            source.close()
    return items


def best(repeat: int, fn) -> tuple[float, int]:
    times, result = [], None
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return min(times), result


def compare(title: str, paths, repeat: int, decode: bool) -> None:
    size = sum(os.path.getsize(p) for p in paths)
    what = "open, scan, decode every message" if decode else "open and scan"
    print(f"{title}: {len(paths)} files, {size / 2**20:.1f} MiB; {what}")
    figures = {}
    for how in ("mmap", "read"):
        seconds, count = best(repeat, lambda: read_all(paths, how, decode))
        figures[how] = seconds
        label = "mapped (before)" if how == "mmap" else "read into private memory"
        print(f"  {label:<26} {seconds * 1000:9.1f} ms  {size / 2**20 / seconds:8.0f} MiB/s  ({count} "
              f"{'items' if decode else 'messages'})")
    print(f"  cost of reading: {(figures['read'] - figures['mmap']) * 1000:+.1f} ms "
          f"({figures['read'] / figures['mmap']:.2f}x)")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--size-mib", type=int, default=1024)
    ap.add_argument("--no-decode", action="store_true", help="open and scan only")
    args = ap.parse_args()
    corpus = sorted((SHARED / "corpus" / "ed4").glob("*.bufr")) + sorted((SHARED / "corpus" / "ed3").glob("*.bufr"))
    for decode in (False, True) if not args.no_decode else (False,):
        compare("corpus", corpus, args.repeat, decode)
    messages = b""
    for path in corpus:
        with korvane.open(path, errors="skip") as f:
            messages += b"".join(bytes(m.bytes) for m in f)
    with tempfile.TemporaryDirectory() as tmp:
        big = Path(tmp) / "big.bufr"
        with open(big, "wb") as out:
            for _ in range(-(-(args.size_mib << 20) // len(messages))):
                out.write(messages)
        for decode in (False, True) if not args.no_decode else (False,):
            compare(f"one file of {args.size_mib} MiB", [big], max(1, args.repeat // (3 if decode else 1)), decode)


if __name__ == "__main__":
    main()
