"""korvane.read_bufr against pdbufr, case by case, on the shared corpus.

    PYTHONPATH=<stage> python3.13 benchmarks/compare_pdbufr.py [--case NAME]... [--save FILE]

pdbufr (PyPI, on Debian's python3-eccodes) runs in its own interpreter, a venv
made with `/usr/bin/python3 -m venv --system-site-packages ../venv-pdbufr`
followed by `../venv-pdbufr/bin/pip install pdbufr pandas` (override the path
with --pdbufr-python or $KORVANE_PDBUFR_PYTHON). This same file runs there with
--reference and prints pdbufr's tables as JSON; korvane runs here on the same
cases, and every case is printed with its agreement: rows, columns, then the
values, column by column.

Values are compared as pdbufr hands them over, with two normalisations: texts
lose their trailing blanks (ecCodes keeps the padding of a character element,
korvane strips it), and a value that is absent (pdbufr leaves the key out of
the row) equals a missing one (korvane's NaN / None / <NA>). Numbers agree when
they are equal to 1e-12 relative. pdbufr orders its columns by first appearance
in the data, korvane in the order asked for, so columns are matched by name.

pdbufr by default drops a row lacking any requested key (required_columns=
True); korvane keeps such rows with the key missing. Cases run pdbufr with
required_columns=False unless they say otherwise.

--save FILE writes pdbufr's tables of the cases marked `test` (small ones) for
tests/test_frames_pdbufr.py.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
CORPUS = HERE.parent.parent / "shared" / "corpus"


def case(name, path, columns, filters=None, *, pdbufr_filters=None, required=False, test=False, why=None):
    """One comparison. filters go to korvane; pdbufr_filters (default: the same)
    to pdbufr, whose names for message-level keys differ. why explains a known
    difference, printed beside it."""
    return {
        "name": name,
        "path": path,
        "columns": columns,
        "filters": filters or {},
        "pdbufr_filters": (filters or {}) if pdbufr_filters is None else pdbufr_filters,
        "required": required,
        "test": test,
        "why": why,
    }


LEVELS = ("pdbufr makes its levels from coordinate descriptors (classes 01 to 09), korvane from the replications: ")

CASES = [
    # satellite scans, compressed: a fixed replication of the channels
    case("mhen-bt", "ed4/mhen_55.bufr", ["latitude", "longitude", "brightnessTemperature"]),
    case("aben-channels", "ed4/aben_55.bufr",
         ["latitude", "longitude", "tovsOrAtovsOrAvhrrInstrumentationChannelNumber", "brightnessTemperature"]),
    case("aaen-filters", "ed4/aaen_55.bufr", ["fieldOfViewNumber", "brightnessTemperature"],
         {"fieldOfViewNumber": slice(10, 12), "tovsOrAtovsOrAvhrrInstrumentationChannelNumber": [30, 32]}, test=True),
    case("amsa-ed3", "ed3/amsa_55.bufr", ["latitude", "longitude", "brightnessTemperature"]),
    case("mhen-callable", "ed4/mhen_55.bufr", ["latitude", "longitude", "brightnessTemperature"],
         {"latitude": lambda x: x > 80}),
    # soundings: a delayed replication of the levels
    case("iusk-040000", "ed4/IUSK73_AMMC_040000.bufr", ["latitude", "longitude", "pressure", "airTemperature"]),
    case("iusk-040000-required", "ed4/IUSK73_AMMC_040000.bufr",
         ["latitude", "longitude", "pressure", "airTemperature"], required=True),
    case("iusk-182300-datetime", "ed4/IUSK73_AMMC_182300.bufr",
         ["data_datetime", "pressure", "airTemperature", "dewpointTemperature", "windSpeed"], test=True),
    case("iusk-182300-slice", "ed4/IUSK73_AMMC_182300.bufr", ["pressure", "airTemperature"],
         {"pressure": slice(50000, 85000)}, test=True),
    case("iusk-182300-callable", "ed4/IUSK73_AMMC_182300.bufr", ["stationNumber", "pressure", "airTemperature"],
         {"airTemperature": lambda t: t > 285}, test=True),
    case("uegabe", "ed4/uegabe.bufr", ["latitude", "longitude", "pressure", "airTemperature"]),
    case("temp-ed3", "ed3/temp_101.bufr", ["stationNumber", "pressure", "airTemperature"]),
    case("pilo-ed3", "ed3/pilo_91.bufr", ["stationNumber", "pressure", "windSpeed"]),
    case("profiler-ed3", "ed3/profiler_european.bufr", ["stationNumber", "height", "windDirection", "windSpeed"], test=True),
    # surface stations: one row per subset
    case("ismd-stations", "ed4/ISMD01_OKPR.bufr",
         ["blockNumber", "stationNumber", "stationOrSiteName", "latitude", "longitude", "airTemperature"], test=True),
    case("ismd-datetime", "ed4/ISMD01_OKPR.bufr", ["stationNumber", "data_datetime", "airTemperature"], test=True),
    case("ismd-filter-list", "ed4/ISMD01_OKPR.bufr", ["stationNumber", "airTemperature"],
         {"stationNumber": [423, 518], "data_category": 0}, pdbufr_filters={"stationNumber": [423, 518], "dataCategory": 0},
         test=True),
    case("ismd-cloud", "ed4/ISMD01_OKPR.bufr",
         ["stationNumber", "verticalSignificanceSurfaceObservations", "cloudType"],
         why="pdbufr leaves ecCodes' missing-value marker 2147483647 in place of missing integer values of a "
             "compressed message (it converts scalars only); korvane has them missing. The rows agree."),
    case("ismd-rank", "ed4/ISMD01_OKPR.bufr", ["stationNumber", "#2#cloudType", "#3#timePeriod"],
         why="pdbufr 0.16 files a ranked key's value under the bare key, so a '#2#cloudType' column never "
             "comes out; korvane gives the ranked items (as bufr_dump shows them: #2#cloudType=61 for station 423)"),
    case("isnd-uncompressed", "ed4/ISND02_LLBD.bufr", ["stationNumber", "airTemperature", "relativeHumidity"],
         test=True),
    case("syno-ed3", "ed3/syno_1.bufr", ["stationNumber", "data_datetime", "airTemperatureAt2M"], test=True),
    case("ship-ed3", "ed3/ship_11.bufr", ["shipOrMobileLandStationIdentifier", "latitude", "longitude"], test=True),
    case("airc-ed3", "ed3/airc_142.bufr", ["aircraftFlightNumber", "latitude", "longitude", "airTemperature"],
         test=True),
    case("contrived", "ed4/contrived.bufr",
         ["stationNumber", "verticalSignificanceSurfaceObservations", "cloudAmount"],
         why=LEVELS + "the cloudAmount read after the replications, at the top level, was not seen before their "
             "occurrences, so korvane gives it a row of its own (one per subset: 16 rows, not 14), where pdbufr "
             "adds it to the last occurrence's row"),
    # retrievals and winds
    case("sentinel-partitions", "ed4/sentinel1.bufr",
         ["latitude", "longitude", "partitionNumber", "significantSwellWaveHeightOfSpectralPartition"]),
    case("kond-kernel", "ed4/kond_209.bufr", ["latitude", "longitude", "averagingKernelValue"]),
    case("maer-optical", "ed4/maer_207.bufr", ["latitude", "longitude", "opticalDepth"],
         why=LEVELS + "a subset holds 18 opticalDepth items as ecCodes counts them (#1 to #18, the values of the "
             "2 24 255 first-order statistics included): korvane gives 2 rows at the top level (the second is a "
             "repeat) and one per occurrence of the two 8-fold replications, 18; pdbufr splits them at its "
             "class 02 spectrographicWavelength levels into 17, longitude lost from all but the first"),
    case("ncep-winds", "ed4/ncep.352.bufr", ["latitude", "longitude", "pressure", "windSpeed"],
         why=LEVELS + "korvane gives the top level's row, one per occurrence of the 4-fold wind replication "
             "(top-level pressure carried) and one per occurrence of the 10-fold pressure replication, 15 per "
             "subset; pdbufr's levels at hour, minute, second (class 04) and pressure (class 07) give 18, "
             "most with latitude alone"),
    case("b005-winds-ed3", "ed3/b005_89.bufr", ["latitude", "longitude", "pressure", "windSpeed"]),
    case("amv-ed3", "ed3/amv2_87.bufr", ["latitude", "longitude", "pressure", "windSpeed"],
         why=LEVELS + "the same layout as ncep.352 (a wind replication, then a pressure replication, after a "
             "top-level pressure and wind): korvane's rows are the top level's and one per occurrence"),
    case("buoy-ed3-datetime", "ed3/buoy_27.bufr", ["buoyOrPlatformIdentifier", "data_datetime", "latitude", "longitude"]),
    case("temp-ed3-filter", "ed3/temp_101.bufr", ["stationNumber", "pressure", "airTemperature"],
         {"pressure": slice(30000, 70000), "stationNumber": {26, 273}}, test=True),
]


# ---- the pdbufr side (runs in pdbufr's interpreter) ---------------------------------


def encode(value):
    """A JSON value for one cell: None for every kind of missing."""
    if value is None or type(value).__name__ == "NAType":
        return None
    if isinstance(value, float):
        return None if math.isnan(value) else value
    if isinstance(value, (int, str)):
        return value
    if hasattr(value, "isoformat"):
        if str(value) == "NaT":
            return None
        return value.isoformat()
    if hasattr(value, "item"):  # NumPy scalars
        return encode(value.item())
    return repr(value)


def run_pdbufr(names: list[str]) -> dict:
    import pdbufr

    out = {}
    for c in CASES:
        if names and c["name"] not in names:
            continue
        df = pdbufr.read_bufr(
            str(CORPUS / c["path"]),
            columns=c["columns"],
            filters=c["pdbufr_filters"],
            required_columns=c["required"],
        )
        out[c["name"]] = {
            "rows": len(df),
            "columns": {str(k): [encode(v) for v in df[k].tolist()] for k in df.columns},
        }
    return out


# ---- the korvane side ------------------------------------------------------------------


def run_korvane(c: dict):
    import korvane

    return korvane.read_bufr(str(CORPUS / c["path"]), columns=c["columns"], filters=c["filters"])


def korvane_columns(df) -> dict:
    return {str(k): [encode(v) for v in df[k].tolist()] for k in df.columns}


def same(a, b) -> bool:
    if isinstance(a, str) or isinstance(b, str):
        a = a.rstrip(" ") if isinstance(a, str) else a
        b = b.rstrip(" ") if isinstance(b, str) else b
        return a == b
    if a is None or b is None:
        return a is None and b is None
    return a == b or abs(a - b) <= 1e-12 * max(abs(a), abs(b))


def compare(expected: dict, columns: dict, rows: int) -> list[str]:
    """The differences between pdbufr's table and korvane's, as lines."""
    out = []
    if rows != expected["rows"]:
        out.append(f"rows: pdbufr {expected['rows']}, korvane {rows}")
    for name, want in expected["columns"].items():
        if name not in columns:
            out.append(f"column {name}: only pdbufr has it")
    for name, got in columns.items():
        want = expected["columns"].get(name)
        if want is None:
            if any(v is not None for v in got):
                out.append(f"column {name}: only korvane has it")
            continue
        if len(want) != len(got):
            continue
        bad = [i for i, (a, b) in enumerate(zip(want, got)) if not same(a, b)]
        if bad:
            i = bad[0]
            out.append(f"column {name}: {len(bad)} values differ, first at row {i}: pdbufr {want[i]!r}, korvane {got[i]!r}")
    return out


def filters_to_json(filters: dict) -> dict | None:
    """Filters as tests/data stores them ({"slice": [lo, hi]} for a slice,
    {"set": [...]} for a set); None when one is a callable."""
    out = {}
    for k, f in filters.items():
        if callable(f):
            return None
        if isinstance(f, slice):
            f = {"slice": [f.start, f.stop]}
        elif isinstance(f, (set, frozenset)):
            f = {"set": sorted(f)}
        out[k] = f
    return out


def pdbufr_python(arg: str | None) -> str:
    if arg:
        return arg
    if os.environ.get("KORVANE_PDBUFR_PYTHON"):
        return os.environ["KORVANE_PDBUFR_PYTHON"]
    return str(HERE.parent.parent / "venv-pdbufr" / "bin" / "python")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--case", action="append", default=[], help="run only this case (repeatable)")
    ap.add_argument("--reference", action="store_true", help="run pdbufr here and print its tables as JSON")
    ap.add_argument("--pdbufr-python", help="the interpreter that has pdbufr")
    ap.add_argument("--save", help="write pdbufr's tables of the small cases to this JSON file")
    args = ap.parse_args()

    if args.reference:
        json.dump(run_pdbufr(args.case), sys.stdout)
        return 0

    cmd = [pdbufr_python(args.pdbufr_python), str(Path(__file__).resolve()), "--reference"]
    for name in args.case:
        cmd += ["--case", name]
    done = subprocess.run(cmd, capture_output=True, text=True)
    if done.returncode != 0:
        print(done.stderr, file=sys.stderr)
        print(f"pdbufr failed: {' '.join(cmd)}", file=sys.stderr)
        return 2
    reference = json.loads(done.stdout)

    if args.save:
        small = {
            c["name"]: {"path": c["path"], "columns": c["columns"], "filters": filters_to_json(c["filters"]),
                        "pdbufr": reference[c["name"]]}
            for c in CASES
            if c["test"] and c["name"] in reference and filters_to_json(c["filters"]) is not None
        }
        Path(args.save).write_text(json.dumps(small, indent=None, separators=(",", ":")) + "\n")
        print(f"saved {len(small)} cases to {args.save}")

    differing = 0
    for c in CASES:
        if c["name"] not in reference:
            continue
        expected = reference[c["name"]]
        df = run_korvane(c)
        diffs = compare(expected, korvane_columns(df), len(df))
        status = "agree" if not diffs else "DIFFER"
        differing += bool(diffs)
        filters = f" filters={c['filters']}" if c["filters"] else ""
        print(f"{c['name']:24} {c['path']:30} rows {expected['rows']:6} / {len(df):6}  {status}")
        print(f"    columns={c['columns']}{filters}")
        for line in diffs:
            print(f"    {line}")
        if diffs and c["why"]:
            print(f"    why: {c['why']}")
    print(f"{len(reference) - differing} of {len(reference)} cases agree")
    return 0


if __name__ == "__main__":
    sys.exit(main())
