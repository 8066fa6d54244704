"""Tables of observations: korvane.read_bufr against pdbufr, same run, same selections.

    PYTHONPATH=<stage> python3.13 benchmarks/bench_frames.py [--repeat N] [--pdbufr-python PATH]

pdbufr runs in its own interpreter (see compare_pdbufr.py for the venv), started
from here with --pdbufr for one selection at a time and timed there; korvane is
timed in this process right after, on the same selection. A selection is one
call per file; each call's time is its best of N runs after a warm-up run
(tables loaded, modules imported), and a selection's time their sum.
Selections:

* latitude, longitude, brightnessTemperature from mhen_55.bufr (satellite scans);
* latitude, longitude, pressure, airTemperature from IUSK73_AMMC_040000.bufr (a sounding);
* the whole edition 4 corpus, file by file: latitude, longitude and one quantity
  of the file (jason2.bufr is left out: ecCodes cannot decode it);
* a flat read (one row per subset, every item a column) of the same files:
  rows per second.
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ED4 = HERE.parent.parent / "shared" / "corpus" / "ed4"

QUANTITY = {
    "ISMD01_OKPR.bufr": "airTemperature",
    "ISND02_LLBD.bufr": "airTemperature",
    "IUSK73_AMMC_040000.bufr": "airTemperature",
    "IUSK73_AMMC_182300.bufr": "airTemperature",
    "aaen_55.bufr": "brightnessTemperature",
    "aben_55.bufr": "brightnessTemperature",
    "contrived.bufr": "cloudAmount",
    "g2nd_208.bufr": "integratedMassDensity",
    "gsd1_208.bufr": "integratedMassDensity",
    "gsd2_208.bufr": "integratedMassDensity",
    "gsd3_208.bufr": "integratedMassDensity",
    "ifco_208.bufr": "integratedMassDensity",
    "ikco_217.bufr": "averagingKernelValue",
    "itrg_208.bufr": "integratedMassDensity",
    "kond_209.bufr": "averagingKernelValue",
    "maer_207.bufr": "opticalDepth",
    "mhen_55.bufr": "brightnessTemperature",
    "mpco_217.bufr": "averagingKernelValue",
    "ncep.352.bufr": "windSpeed",
    "nos1_208.bufr": "integratedMassDensity",
    "nos2_208.bufr": "integratedMassDensity",
    "nos3_208.bufr": "integratedMassDensity",
    "nos4_208.bufr": "integratedMassDensity",
    "nos5_208.bufr": "integratedMassDensity",
    "nos6_208.bufr": "integratedMassDensity",
    "nos7_208.bufr": "integratedMassDensity",
    "nos8_208.bufr": "integratedMassDensity",
    "sentinel1.bufr": "significantSwellWaveHeightOfSpectralPartition",
    "uegabe.bufr": "airTemperature",
}


def selections() -> list[tuple[str, list[tuple[str, list[str]]]]]:
    """(name, [(path, columns), ...]): a selection is one call per file."""
    corpus = [(str(ED4 / f), ["latitude", "longitude", q]) for f, q in QUANTITY.items()]
    return [
        ("mhen_55: latitude, longitude, brightnessTemperature",
         [(str(ED4 / "mhen_55.bufr"), ["latitude", "longitude", "brightnessTemperature"])]),
        ("IUSK73_AMMC_040000: latitude, longitude, pressure, airTemperature",
         [(str(ED4 / "IUSK73_AMMC_040000.bufr"), ["latitude", "longitude", "pressure", "airTemperature"])]),
        (f"corpus ({len(corpus)} files): latitude, longitude + one quantity", corpus),
        ("corpus, flat", [(p, None) for p, _ in corpus]),
    ]


def timed(repeat: int, read, calls, flat: bool) -> tuple[float, int]:
    """Seconds and rows of a selection: each call's best of `repeat` runs after
    a warm-up run (tables loaded, modules imported), summed over the calls, so
    that a moment of load on a shared machine spoils one run, not the figure."""
    seconds = rows = 0
    for path, columns in calls:
        def once():
            return read(path, flat=True) if flat else read(path, columns=columns)

        rows += len(once())
        times = []
        for _ in range(repeat):
            t = time.perf_counter()
            once()
            times.append(time.perf_counter() - t)
        seconds += min(times)
    return seconds, rows


def pdbufr_side(repeat: int, which: int) -> tuple[float, int]:
    import warnings

    import pdbufr

    warnings.simplefilter("ignore")
    name, calls = selections()[which]
    return timed(repeat, pdbufr.read_bufr, calls, calls[0][1] is None)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--repeat", type=int, default=7)
    ap.add_argument("--pdbufr", type=int, metavar="N", help="time pdbufr on selection N here and print JSON")
    ap.add_argument("--pdbufr-python", help="the interpreter that has pdbufr (default: ../venv-pdbufr)")
    args = ap.parse_args()
    if args.pdbufr is not None:
        json.dump(pdbufr_side(args.repeat, args.pdbufr), sys.stdout)
        return 0

    import warnings

    import korvane

    warnings.simplefilter("ignore")
    python = args.pdbufr_python or str(HERE.parent.parent / "venv-pdbufr" / "bin" / "python")

    print(f"{'selection':68} {'rows':>8} {'pdbufr s':>9} {'korvane s':>10} {'speed-up':>9}  korvane rows/s")
    for which, (name, calls) in enumerate(selections()):
        # pdbufr, then korvane, selection by selection: both meet the same load.
        cmd = [python, __file__, "--pdbufr", str(which), "--repeat", str(args.repeat)]
        done = subprocess.run(cmd, capture_output=True, text=True)
        if done.returncode != 0:
            print(done.stderr, file=sys.stderr)
            return 2
        p_seconds, p_rows = json.loads(done.stdout)
        seconds, rows = timed(args.repeat, korvane.read_bufr, calls, calls[0][1] is None)
        note = "" if p_rows == rows else f"  (pdbufr: {p_rows} rows)"
        print(f"{name:68} {rows:8} {p_seconds:9.4f} {seconds:10.4f} {p_seconds / seconds:8.1f}x  {rows / seconds:12,.0f}{note}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
