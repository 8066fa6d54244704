"""Reading many files in parallel: korvane.dask.read_bufr against korvane.read_bufr.

    python3.13 benchmarks/bench_dask.py [--megabytes 512] [--files 4] [--partition-size 32MiB]

Writes the edition 4 corpus (../shared/corpus/ed4, every file in name order)
over and over into files in a temporary directory until they hold at least
--megabytes, then reads `latitude, longitude` (present in every corpus file)
from all of them, in the same run:

* korvane.read_bufr in this process;
* korvane.dask.read_bufr on a distributed LocalCluster of 1, then 2 worker
  processes of one thread each; the files are larger than --partition-size,
  so each is cut into partitions at message boundaries.

Each process loads its tables before the clock starts (the reader's cache is
per process). The Dask time runs from building the collection (scanning the
files, reading the first one's sample for the column types) to the count of
rows decoded on the workers (len(), so that the rows are not shipped back).
errors="skip" everywhere: jason2.bufr holds a message that does not decode.
Prints seconds, rows and rows per second for each reader, and the machine's
load average, since other work on it slows every reader alike.
"""

from __future__ import annotations

import argparse
import os
import tempfile
import time
from pathlib import Path

import korvane
import korvane.dask
from distributed import Client, LocalCluster

CORPUS = Path(__file__).resolve().parent.parent.parent / "shared" / "corpus" / "ed4"
COLUMNS = ["latitude", "longitude"]


def warm() -> None:
    """Loads the tables of every corpus message into this process's cache."""
    korvane.read_bufr(sorted(str(p) for p in CORPUS.glob("*.bufr")), COLUMNS, errors="skip")


def write_files(directory: Path, megabytes: int, count: int) -> list[str]:
    corpus = b"".join(p.read_bytes() for p in sorted(CORPUS.glob("*.bufr")))
    per_file = -(-megabytes * 1_000_000 // count)
    copies = -(-per_file // len(corpus))
    paths = []
    for i in range(count):
        path = directory / f"corpus-{i:03d}.bufr"
        with open(path, "wb") as f:
            for _ in range(copies):
                f.write(corpus)
        paths.append(str(path))
    return paths


def report(name: str, seconds: float, rows: int) -> None:
    print(f"{name:<40} {seconds:8.2f} s {rows:>11,} rows {rows / seconds:>12,.0f} rows/s", flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--megabytes", type=int, default=512, help="bytes to read, in MB (default 512)")
    parser.add_argument("--files", type=int, default=4, help="how many files to spread them over (default 4)")
    parser.add_argument("--partition-size", default="32MiB", help="korvane.dask's partition_size (default 32MiB)")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="korvane-bench-dask-") as tmp:
        paths = write_files(Path(tmp), args.megabytes, args.files)
        total = sum(os.path.getsize(p) for p in paths)
        print(f"{len(paths)} files, {total / 1e6:.0f} MB: the ed4 corpus repeated; columns {', '.join(COLUMNS)}")
        print(f"load average at the start: {os.getloadavg()[0]:.1f} (this machine has {os.cpu_count()} cores)")

        warm()
        start = time.perf_counter()
        rows = len(korvane.read_bufr(paths, COLUMNS, errors="skip"))
        report("korvane.read_bufr, one process", time.perf_counter() - start, rows)

        for workers in (1, 2):
            with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                              dashboard_address=None) as cluster, Client(cluster) as client:
                client.run(warm)
                start = time.perf_counter()
                ddf = korvane.dask.read_bufr(paths, COLUMNS, errors="skip", partition_size=args.partition_size)
                got = len(ddf)
                seconds = time.perf_counter() - start
                if got != rows:
                    raise SystemExit(f"korvane.dask read {got} rows where korvane.read_bufr read {rows}")
                report(f"korvane.dask, {workers} worker{'s' if workers > 1 else ''} "
                       f"({ddf.npartitions} partitions)", seconds, got)
        print(f"load average at the end: {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
