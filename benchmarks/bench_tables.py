"""Table loading and expansion speed.

    PYTHONPATH=<stage> python3.13 benchmarks/bench_tables.py [--repeat N] [--version V]

Each loader is timed against merely reading the bytes of the files it reads,
in the same run (the directory listings included, as the loaders list too;
the files are read with bare system calls from Python, os.open/os.readv/os.close,
so the read time carries a few microseconds of interpreter work per file):

- TableSet.from_eccodes of one full WMO version directory of the ecCodes
  definitions (element.table, sequence.def and every codetables/*.table);
- TableSet.from_definitions for a corpus message with local tables (the WMO
  directory of its version plus its centre's local directory);
- TableSet.from_bufr4_45 over the WMO BUFR4 CSV files of ../shared/wmo-bufr4-v45.

Then codes per second for TableSet.expand of the longest expansion among the
corpus messages, and of one large synthetic expansion (nested fixed replication).
Times are the best of --repeat runs, with the page cache warm.
"""

from __future__ import annotations

import argparse
import gc
import os
import time
from pathlib import Path

from korvane import _korvane
from korvane._korvane import TableSet

SHARED = Path(__file__).resolve().parent.parent.parent / "shared"
DEFINITIONS = Path("/usr/share/eccodes/definitions")


def best_of(repeat: int, fn) -> float:
    times = []
    for _ in range(repeat):
        gc.collect()
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def eccodes_files(d: Path) -> list[Path]:
    files = [d / "element.table", d / "sequence.def"]
    if (d / "codetables").is_dir():
        files += sorted((d / "codetables").glob("*.table"))
    return files


def read_bytes(dirs: list[str], files: list[str]) -> int:
    """Lists each directory and reads the files whole with bare system calls
    (os.open, os.read into one buffer, os.close); returns the bytes read."""
    total = 0
    for d in dirs:
        os.listdir(d)
    buf = bytearray(1 << 20)
    view = memoryview(buf)
    for name in files:
        fd = os.open(name, os.O_RDONLY)
        while n := os.readv(fd, [view]):
            total += n
        os.close(fd)
    return total


def compare(label: str, load, files: list[Path], listed: list[Path], repeat: int) -> None:
    names, dirs = [str(p) for p in files], [str(d) for d in listed]
    size = read_bytes(dirs, names)
    t_read = best_of(repeat, lambda: read_bytes(dirs, names))
    t_load = best_of(repeat, load)
    print(f"{label}")
    print(f"  files {len(files)}, {size / 1024:.0f} KiB")
    print(f"  read bytes    {t_read * 1e3:8.2f} ms")
    print(f"  load tables   {t_load * 1e3:8.2f} ms   ratio {t_load / t_read:5.2f}x  ({size / t_load / 2**20:.0f} MiB/s)")


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=15)
    ap.add_argument("--version", type=int, help="WMO version directory (default: the newest)")
    args = ap.parse_args()

    wmo_base = DEFINITIONS / "bufr" / "tables" / "0" / "wmo"
    version = args.version or max(int(p.name) for p in wmo_base.iterdir() if p.name.isdigit())
    wmo = (wmo_base / str(version)).resolve()
    t = TableSet.from_eccodes(str(wmo))
    compare(f"from_eccodes {wmo} ({t.element_count} elements, {t.sequence_count} sequences)",
            lambda: TableSet.from_eccodes(str(wmo)), eccodes_files(wmo), [wmo / "codetables"], args.repeat)

    # A corpus message with local tables.
    messages = []
    for path in sorted((SHARED / "corpus" / "ed4").glob("*.bufr")):
        messages += [(path.name, m) for m in _korvane.parse_all_file(str(path))]
    name, m = next((n, m) for n, m in messages if m.local_tables_version_number and m.originating_centre == 98
                   and m.originating_subcentre == 0)
    tables = DEFINITIONS / "bufr" / "tables" / str(m.master_table_number)
    w = (tables / "wmo" / str(m.master_tables_version_number)).resolve()
    local = tables / "local" / str(m.local_tables_version_number) / str(m.originating_centre) / str(
        m.originating_subcentre)
    files = eccodes_files(w) + [p for p in eccodes_files(local) if p.exists()]
    listed = [p for p in (w / "codetables", local / "codetables") if p.is_dir()]
    compare(f"from_definitions for {name} (WMO {w.name}, local {local.relative_to(tables)})",
            lambda: TableSet.from_definitions(str(DEFINITIONS), m), files, listed, args.repeat)

    csv_dir = SHARED / "wmo-bufr4-v45"
    csv_files = sorted(csv_dir.glob("BUFRCREX_TableB_en_*.csv")) + sorted(csv_dir.glob("BUFR_TableD_en_*.csv"))
    compare(f"from_bufr4_45 {csv_dir}", lambda: TableSet.from_bufr4_45(str(csv_dir)), csv_files, [csv_dir],
            args.repeat)

    # Expansion.
    longest = None
    for name, m in messages:
        t = TableSet.from_definitions(str(DEFINITIONS), m)
        out = t.expand(m.unexpanded_descriptors)
        if longest is None or len(out) > len(longest[2]):
            longest = (name, t, out, m.unexpanded_descriptors)
    name, t, out, codes = longest
    calls = 2000
    elapsed = best_of(max(3, args.repeat // 3), lambda: [t.expand(codes) for _ in range(calls)])
    print(f"expand {name}: {len(codes)} descriptors -> {len(out)} codes")
    print(f"  {elapsed / calls * 1e6:.2f} us per call, {len(out) * calls / elapsed / 1e6:.1f} M codes/s "
          "(Python list included)")
    big = [102255, 101255, 301011, 204004, 12001, 204000]
    n = len(t.expand(big))
    elapsed = best_of(max(3, args.repeat // 3), lambda: t.expand(big))
    print(f"expand {big}: {n} codes, {elapsed * 1e3:.2f} ms, {n / elapsed / 1e6:.1f} M codes/s (Python list included)")


if __name__ == "__main__":
    main()
