"""korvane.read_bufr against pdbufr, case by case: typical requests on real files.

    PYTHONPATH=<stage> python3.13 benchmarks/compare_pdbufr.py [--case NAME]... [--save FILE]
                                                           [--samples DIR]

pdbufr (PyPI, on Debian's python3-eccodes) runs in its own interpreter, a venv
made with `/usr/bin/python3 -m venv --system-site-packages ../venv-pdbufr`
followed by `../venv-pdbufr/bin/pip install pdbufr pandas` (override the path
with --pdbufr-python or $KORVANE_PDBUFR_PYTHON). This same file runs there with
--reference and prints pdbufr's tables as JSON; korvane runs here on the same
cases, and every case is printed with its agreement: rows, columns, then the
values, column by column.

The files: the shared corpus (`ed3/...`, `ed4/...`), the small files of
pdbufr's test data kept in tests/data/pdbufr (`pdbufr/...`), and the larger
ones of that test data, read from the unpacked pdbufr sdist (`samples/...`:
--samples DIR or $KORVANE_PDBUFR_SAMPLES, the sdist's tests/sample_data); cases
whose file is not there are passed over.

Both read with the same `required_columns` (pdbufr's default, True, unless a
case says otherwise). Values are compared as pdbufr hands them over, with two
normalisations: texts lose their trailing blanks (ecCodes keeps the padding of
a character element, korvane strips it), and a value that is absent (pdbufr
leaves the key out of the row) equals a missing one (korvane's NaN / None /
<NA>). Numbers agree when they are equal to 1e-12 relative; a list (geometry)
agrees item by item. pdbufr orders its columns by first appearance in the data,
korvane in the order asked for, so columns are matched by name. Each case that
differs says why (its `why`); the documentation's page "Coming from pdbufr"
lists the same reasons.

--save FILE writes pdbufr's tables of the cases marked `test` (small files,
small tables) for tests/test_frames_pdbufr.py.
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
REPO = HERE.parent
ROOTS = {"ed3": REPO.parent / "shared" / "corpus" / "ed3", "ed4": REPO.parent / "shared" / "corpus" / "ed4",
         "pdbufr": REPO / "tests" / "data" / "pdbufr"}


def case(name, path, columns, filters=None, *, pdbufr_filters=None, required=True, test=False, why=None):
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


LEVELS = "pdbufr makes its levels from coordinate descriptors (classes 01 to 09), korvane from the replications: "
RANKS = ("pdbufr 0.16 files a ranked key's value under the bare key, so a '#2#...' column never comes out; "
         "korvane gives the ranked items, as bufr_dump shows them")
FIRST = ("outside replications korvane counts a key's first item in a subset (#2#key, ... reach the others); "
         "pdbufr's coordinate keys (classes 01 to 09) open a level at each of their items, and a later item of "
         "another key replaces the earlier one in its row: ")
MISSING_LONG = ("pdbufr leaves ecCodes' missing-value marker 2147483647 in place of missing integer values of a "
                "compressed message (it converts scalars only); korvane has them missing")

TC = (FIRST + "a tropical cyclone's significance (008005, class 08) and positions are coordinates for pdbufr, so "
      "the storm centre, the storm in the perturbed analysis with its pressure and the place of the strongest "
      "wind with its speed are rows of their own, and the pressure and the speed take the position read just "
      "before them; korvane's top level is one row, with the first position, the storm centre's")

CASES = [
    # ---- satellite scans, compressed: a fixed replication of the channels
    case("mhen-bt", "ed4/mhen_55.bufr", ["latitude", "longitude", "brightnessTemperature"]),
    case("aben-channels", "ed4/aben_55.bufr",
         ["latitude", "longitude", "tovsOrAtovsOrAvhrrInstrumentationChannelNumber", "brightnessTemperature"]),
    case("aaen-filters", "ed4/aaen_55.bufr", ["fieldOfViewNumber", "brightnessTemperature"],
         {"fieldOfViewNumber": slice(10, 12), "tovsOrAtovsOrAvhrrInstrumentationChannelNumber": [30, 32]}, test=True),
    case("amsa-ed3", "ed3/amsa_55.bufr", ["latitude", "longitude", "brightnessTemperature"]),
    case("mhen-callable", "ed4/mhen_55.bufr", ["latitude", "longitude", "brightnessTemperature"],
         {"latitude": lambda x: x > 80}),
    case("hirs-metop", "samples/M02-HIRS-HIRxxx1B-NA-1.0-20181122114854.000000000Z-20181122132602-1304602.bufr",
         ["latitude", "longitude", "satelliteIdentifier", "brightnessTemperature"], {"fieldOfViewNumber": 28}),
    # ---- soundings: a delayed replication of the levels
    case("iusk-040000", "ed4/IUSK73_AMMC_040000.bufr", ["latitude", "longitude", "pressure", "airTemperature"]),
    case("iusk-040000-all-rows", "ed4/IUSK73_AMMC_040000.bufr",
         ["latitude", "longitude", "pressure", "airTemperature"], required=False),
    case("iusk-182300-datetime", "ed4/IUSK73_AMMC_182300.bufr",
         ["data_datetime", "pressure", "airTemperature", "dewpointTemperature", "windSpeed"], test=True),
    case("iusk-182300-slice", "ed4/IUSK73_AMMC_182300.bufr", ["pressure", "airTemperature"],
         {"pressure": slice(50000, 85000)}, test=True),
    case("iusk-182300-callable", "ed4/IUSK73_AMMC_182300.bufr", ["stationNumber", "pressure", "airTemperature"],
         {"airTemperature": lambda t: t > 285}, test=True),
    case("uegabe", "ed4/uegabe.bufr", ["latitude", "longitude", "pressure", "airTemperature"]),
    case("temp-ed3", "ed3/temp_101.bufr", ["stationNumber", "pressure", "airTemperature"]),
    case("temp-ed3-filter", "ed3/temp_101.bufr", ["stationNumber", "pressure", "airTemperature"],
         {"pressure": slice(30000, 70000), "stationNumber": {26, 273}}, test=True),
    case("pilo-ed3", "ed3/pilo_91.bufr", ["stationNumber", "pressure", "windSpeed"]),
    case("profiler-ed3", "ed3/profiler_european.bufr", ["stationNumber", "height", "windDirection", "windSpeed"],
         test=True),
    case("temp-small", "pdbufr/temp_small.bufr",
         ["stationNumber", "data_datetime", "pressure", "airTemperature", "dewpointTemperature", "windSpeed"],
         {"pressure": slice(20000, None)}, test=True),
    case("temp-small-all-rows", "pdbufr/temp_small.bufr", ["stationNumber", "pressure", "airTemperature"],
         {"pressure": slice(40000, 100000)}, required=False, test=True),
    case("temp-small-header", "pdbufr/temp_small.bufr", ["heightOfStation", "edition", "bufrHeaderCentre"],
         {"edition": 3, "bufrHeaderCentre": 98, "dataCategory": 2, "dataSubCategory": 101}, test=True),
    case("temp-station", "samples/temp.bufr", ["stationNumber", "data_datetime", "pressure", "airTemperature"],
         {"stationNumber": 907}),
    case("temp-significance", "samples/temp.bufr", ["pressure", "airTemperature", "verticalSoundingSignificance"],
         {"stationNumber": 823, "verticalSoundingSignificance": 32}),
    # ---- surface stations: one row per subset
    case("ismd-stations", "ed4/ISMD01_OKPR.bufr",
         ["blockNumber", "stationNumber", "stationOrSiteName", "latitude", "longitude", "airTemperature"], test=True),
    case("ismd-datetime", "ed4/ISMD01_OKPR.bufr", ["stationNumber", "data_datetime", "airTemperature"], test=True),
    case("ismd-filter-list", "ed4/ISMD01_OKPR.bufr", ["stationNumber", "airTemperature"],
         {"stationNumber": [423, 518], "dataCategory": 0}, test=True),
    case("ismd-header", "ed4/ISMD01_OKPR.bufr",
         ["stationNumber", "masterTableNumber", "updateSequenceNumber", "internationalDataSubCategory",
          "localTablesVersionNumber", "typicalYear", "typicalMinute", "typicalSecond", "typical_datetime"],
         {"typicalHour": 12, "masterTableNumber": 0}, test=True),
    case("ismd-cloud", "ed4/ISMD01_OKPR.bufr",
         ["stationNumber", "verticalSignificanceSurfaceObservations", "cloudType"],
         why=FIRST + "the low, middle and high cloud types (#1# to #3#cloudType) and the vertical significances "
             "before the cloud layers are at the top level, one row for korvane, a level each for pdbufr (class 08 "
             "is a coordinate). Besides, " + MISSING_LONG),
    case("ismd-rank", "ed4/ISMD01_OKPR.bufr", ["stationNumber", "#2#cloudType", "#3#timePeriod"],
         required=False, why=RANKS + " (#2#cloudType=61 for station 423)"),
    case("ismd-computed", "ed4/ISMD01_OKPR.bufr", ["WMO_station_id", "geometry", "CRS", "airTemperature"],
         test=True),
    case("isnd-uncompressed", "ed4/ISND02_LLBD.bufr", ["stationNumber", "airTemperature", "relativeHumidity"],
         test=True),
    case("isnd-wigos", "ed4/ISND02_LLBD.bufr", ["WIGOS_station_id", "stationOrSiteName", "airTemperature"],
         test=True),
    case("syno-ed3", "ed3/syno_1.bufr", ["stationNumber", "data_datetime", "airTemperatureAt2M"], test=True),
    case("syno-ed3-all-rows", "ed3/syno_1.bufr", ["stationNumber", "data_datetime", "airTemperatureAt2M"],
         required=False, test=True),
    case("ship-ed3", "ed3/ship_11.bufr", ["shipOrMobileLandStationIdentifier", "latitude", "longitude"], test=True),
    case("syn-new", "pdbufr/syn_new.bufr",
         ["stationNumber", "heightOfStationGroundAboveMeanSeaLevel",
          "heightOfSensorAboveLocalGroundOrDeckOfMarinePlatform", "airTemperature", "dewpointTemperature"],
         test=True),
    case("syn-new-ranked", "pdbufr/syn_new.bufr", ["stationNumber", "airTemperature", "#2#airTemperature"],
         required=["stationNumber"],
         why=RANKS + "; pdbufr's airTemperature is the later item, 0.1 (a standard deviation, in a group the "
             "one-bit factor 0 31 000 includes), korvane's the first, 300.45"),
    case("syn-new-wind", "pdbufr/syn_new.bufr",
         ["stationNumber", "heightOfSensorAboveLocalGroundOrDeckOfMarinePlatform", "airTemperature", "windSpeed"],
         {"heightOfSensorAboveLocalGroundOrDeckOfMarinePlatform": slice(1, 20)}, required=False,
         why=LEVELS + "the sensor height (class 07) is a coordinate, so each of its items opens a level of its "
             "own for pdbufr, whatever the replications; korvane counts its first item outside replications"),
    case("synop-wigos", "pdbufr/synop_wigos.bufr", ["WIGOS_station_id", "longitude", "latitude", "airTemperature"],
         test=True),
    case("synop-wigos-tuple", "pdbufr/synop_wigos.bufr", ["WIGOS_station_id", "airTemperature"],
         {"WIGOS_station_id": (0, 705, 0, "1931")}, test=True),
    case("synop-wigos-texts", "pdbufr/synop_wigos.bufr", ["WIGOS_station_id", "airTemperature"],
         {"WIGOS_station_id": ("0-705-0-1931", "0-705-0-1932")}, test=True),
    case("synop-wigos-computed", "pdbufr/synop_wigos.bufr", ["WIGOS_station_id", "geometry", "CRS"], test=True),
    case("synop-wigos-missing", "pdbufr/synop_invalid_wigos_id.bufr", ["WIGOS_station_id", "geometry"],
         required=False,
         why="the WIGOS identifier's four parts are missing: pdbufr writes them as '*-*-*-', korvane's identifier "
             "is missing. Besides, " + FIRST + "the subset's second latitude and longitude (005002, 006002: "
             "coarse accuracy, same keys) give pdbufr a second row"),
    case("synop-multi", "pdbufr/synop_multi_subset_uncompressed.bufr",
         ["stationNumber", "latitude", "WMO_station_id", "airTemperature"], {"stationNumber": [27, 84]}, test=True),
    case("synop-multi-observed", "pdbufr/synop_multi_subset_uncompressed.bufr", ["latitude", "observedData"],
         {"observedData": 1}, test=True),
    case("obs-3day", "pdbufr/obs_3day.bufr",
         ["stationNumber", "data_datetime", "latitude", "longitude", "heightOfStation", "airTemperatureAt2M",
          "dewpointTemperatureAt2M", "horizontalVisibility"], test=True),
    case("obs-3day-header", "pdbufr/obs_3day.bufr",
         ["stationNumber", "masterTablesVersionNumber", "typicalMonth", "typicalDay", "typicalHour",
          "numberOfSubsets", "compressedData"], {"bufrHeaderSubCentre": 0, "typicalDay": 25}, test=True),
    case("obs-3day-ed3-subcategory", "pdbufr/obs_3day.bufr", ["stationNumber", "internationalDataSubCategory"],
         required=False, test=True),
    case("obs-3day-year", "pdbufr/obs_3day.bufr", ["stationNumber", "typicalYear", "typical_datetime"],
         why="an edition 3 header holds the year of the century: ecCodes computes typicalYear but does not list "
             "it among the message's keys, so pdbufr finds no typicalYear (nor typical_datetime) and, with "
             "required_columns, no row; korvane has the full year in every edition"),
    case("dwd-synop", "samples/Z__C_EDZW_20210516120400_bda01,synop_bufr_GER_999999_999999__MW_466.bufr",
         ["stationNumber", "stationOrSiteName", "airTemperature"]),
    case("dwd-synop-computed",
         "samples/Z__C_EDZW_20210516120400_bda01,synop_bufr_GER_999999_999999__MW_466.bufr",
         ["WMO_station_id", "data_datetime", "airTemperature"]),
    case("perf-synop", "samples/perf_synop.bufr", ["stationNumber", "data_datetime", "airTemperatureAt2M"]),
    # ---- aircraft
    case("airc-ed3", "ed3/airc_142.bufr", ["aircraftFlightNumber", "latitude", "longitude", "airTemperature"],
         test=True),
    case("amdar-ed3", "pdbufr/aircraft_small.bufr",
         ["aircraftFlightNumber", "data_datetime", "latitude", "longitude", "pressure", "airTemperature",
          "windSpeed"], test=True),
    case("amda-ed3", "ed3/amda_144.bufr",
         ["aircraftFlightNumber", "data_datetime", "latitude", "longitude", "height", "airTemperature",
          "windSpeed"], test=True),
    case("amdar-ed3-all-rows", "pdbufr/aircraft_small.bufr",
         ["aircraftFlightNumber", "latitude", "longitude", "airTemperature"], required=False, test=True),
    case("aircraft-mrar", "pdbufr/aircraft_mrar_compressed.bufr",
         ["latitude", "longitude", "aircraftRegistrationNumberOrOtherIdentification", "airTemperature"], test=True),
    case("perf-aircraft", "samples/perf_aircraft.bufr", ["latitude", "longitude", "flightLevel", "airTemperature"]),
    # ---- tropical cyclones: a storm centre and the forecasts of its track
    case("tc-316082", "pdbufr/tropical_cyclone_316082.bufr",
         ["stormIdentifier", "data_datetime", "timePeriod", "latitude", "longitude", "pressureReducedToMeanSeaLevel"],
         why=TC + "; pdbufr has no row at all"),
    case("tc-316082-centre", "pdbufr/tropical_cyclone_316082.bufr",
         ["stormIdentifier", "ensembleMemberNumber", "data_datetime", "latitude", "longitude"],
         {"meteorologicalAttributeSignificance": 1, "ensembleMemberNumber": [1, 2]}, test=True),
    case("tc-316082-wind", "pdbufr/tropical_cyclone_316082.bufr",
         ["stormIdentifier", "data_datetime", "latitude", "longitude", "pressureReducedToMeanSeaLevel",
          "windSpeedAt10M"], why=TC + "; with both pressure and speed required pdbufr has no row at all"),
    case("tc-member", "samples/tropical_cyclone.bufr", ["data_datetime", "longitude", "latitude", "windSpeedAt10M"],
         {"stormIdentifier": "70E", "ensembleMemberNumber": 4}, why=TC),
    case("tc-member-all-rows", "samples/tropical_cyclone.bufr",
         ["data_datetime", "longitude", "latitude", "windSpeedAt10M"],
         {"stormIdentifier": "70E", "ensembleMemberNumber": 4}, required=False, why=TC),
    case("tc-pressure", "samples/tropical_cyclone.bufr", ["latitude", "longitude", "pressureReducedToMeanSeaLevel"],
         why=TC),
    # ---- ensemble forecasts at stations
    case("ens-cape", "pdbufr/ens_multi_subset_compressed.bufr",
         ["longitude", "latitude", "ensembleMemberNumber", "timePeriod", "cape"],
         {"timePeriod": [0, 24], "ensembleMemberNumber": [2, 5]}, test=True),
    # ---- layouts where the two rules of rows part
    case("contrived", "ed4/contrived.bufr",
         ["stationNumber", "verticalSignificanceSurfaceObservations", "cloudAmount"], required=False,
         why=LEVELS + "the cloudAmount read after the replications, at the top level, was not seen before their "
             "occurrences, so korvane gives it a row of its own (one per subset: 16 rows, not 14), where pdbufr "
             "adds it to the last occurrence's row"),
    case("sentinel-partitions", "ed4/sentinel1.bufr",
         ["latitude", "longitude", "partitionNumber", "significantSwellWaveHeightOfSpectralPartition"]),
    case("kond-kernel", "ed4/kond_209.bufr", ["latitude", "longitude", "averagingKernelValue"]),
    case("maer-optical", "ed4/maer_207.bufr", ["latitude", "longitude", "opticalDepth"], required=False,
         why=LEVELS + "a subset holds 18 opticalDepth items as ecCodes counts them (#1 to #18, the values of the "
             "2 24 255 first-order statistics included): korvane counts the first of the two at the top level and "
             "gives one row per occurrence of the two 8-fold replications; pdbufr splits them at its class 02 "
             "spectrographicWavelength levels, longitude lost from all but the first"),
    case("ncep-winds", "ed4/ncep.352.bufr", ["latitude", "longitude", "pressure", "windSpeed"], required=False,
         why=LEVELS + "korvane gives the top level's row, one per occurrence of the 4-fold wind replication "
             "(top-level pressure carried) and one per occurrence of the 10-fold pressure replication, 15 per "
             "subset; pdbufr's levels at hour, minute, second (class 04) and pressure (class 07) give 18, "
             "most with latitude alone"),
    case("b005-winds-ed3", "ed3/b005_89.bufr", ["latitude", "longitude", "pressure", "windSpeed"]),
    case("amv-ed3", "ed3/amv2_87.bufr", ["latitude", "longitude", "pressure", "windSpeed"], required=False,
         why=LEVELS + "the same layout as ncep.352 (a wind replication, then a pressure replication, after a "
             "top-level pressure and wind): korvane's rows are the top level's and one per occurrence"),
    case("buoy-ed3-datetime", "ed3/buoy_27.bufr", ["buoyOrPlatformIdentifier", "data_datetime", "latitude", "longitude"],
         why=FIRST + "a buoy report holds two times at the top level, the time of the last known position "
             "(timeSignificance 26) and then the time of the position that follows; korvane's data_datetime is "
             "made from the first, pdbufr's from the second"),
]


def resolve(path: str, samples: str | None) -> Path | None:
    root, _, rest = path.partition("/")
    base = Path(samples) if root == "samples" and samples else ROOTS.get(root)
    if base is None:
        return None
    p = base / rest
    return p if p.is_file() else None


# ---- the pdbufr side (runs in pdbufr's interpreter) ---------------------------------


def encode(value):
    """A JSON value for one cell: None for every kind of missing."""
    if value is None or type(value).__name__ == "NAType":
        return None
    if isinstance(value, float):
        return None if math.isnan(value) else value
    if isinstance(value, (int, str)):
        return value
    if isinstance(value, (list, tuple)):
        return [encode(v) for v in value]
    if hasattr(value, "isoformat"):
        if str(value) == "NaT":
            return None
        return value.isoformat()
    if hasattr(value, "item"):  # NumPy scalars
        return encode(value.item())
    return repr(value)


def run_pdbufr(names: list[str], samples: str | None) -> dict:
    import pdbufr

    out = {}
    for c in CASES:
        path = resolve(c["path"], samples)
        if (names and c["name"] not in names) or path is None:
            continue
        df = pdbufr.read_bufr(str(path), columns=c["columns"], filters=c["pdbufr_filters"],
                              required_columns=c["required"])
        out[c["name"]] = {
            "rows": len(df),
            "columns": {str(k): [encode(v) for v in df[k].tolist()] for k in df.columns},
        }
    return out


# ---- the korvane side ------------------------------------------------------------------


def run_korvane(c: dict, path: Path):
    import warnings

    import korvane

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", korvane.AbsentKeyWarning)
        return korvane.read_bufr(str(path), columns=c["columns"], filters=c["filters"],
                                 required_columns=c["required"])


def korvane_columns(df) -> dict:
    return {str(k): [encode(v) for v in df[k].tolist()] for k in df.columns}


def same(a, b) -> bool:
    if isinstance(a, list) or isinstance(b, list):
        return isinstance(a, list) and isinstance(b, list) and len(a) == len(b) and all(map(same, a, b))
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
    {"set": [...]} for a set, a list for a tuple); None when one is a
    callable."""
    out = {}
    for k, f in filters.items():
        if callable(f):
            return None
        if isinstance(f, slice):
            f = {"slice": [f.start, f.stop]}
        elif isinstance(f, (set, frozenset)):
            f = {"set": sorted(f)}
        elif isinstance(f, tuple):
            f = list(f)
        out[k] = f
    return out


def pdbufr_python(arg: str | None) -> str:
    if arg:
        return arg
    if os.environ.get("KORVANE_PDBUFR_PYTHON"):
        return os.environ["KORVANE_PDBUFR_PYTHON"]
    return str(REPO.parent / "venv-pdbufr" / "bin" / "python")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--case", action="append", default=[], help="run only this case (repeatable)")
    ap.add_argument("--reference", action="store_true", help="run pdbufr here and print its tables as JSON")
    ap.add_argument("--pdbufr-python", help="the interpreter that has pdbufr")
    ap.add_argument("--samples", default=os.environ.get("KORVANE_PDBUFR_SAMPLES"),
                    help="pdbufr's test data (tests/sample_data of its sdist), for the samples/ cases")
    ap.add_argument("--save", help="write pdbufr's tables of the small cases to this JSON file")
    args = ap.parse_args()

    if args.reference:
        json.dump(run_pdbufr(args.case, args.samples), sys.stdout)
        return 0

    cmd = [pdbufr_python(args.pdbufr_python), str(Path(__file__).resolve()), "--reference"]
    for name in args.case:
        cmd += ["--case", name]
    if args.samples:
        cmd += ["--samples", args.samples]
    done = subprocess.run(cmd, capture_output=True, text=True)
    if done.returncode != 0:
        print(done.stderr, file=sys.stderr)
        print(f"pdbufr failed: {' '.join(cmd)}", file=sys.stderr)
        return 2
    reference = json.loads(done.stdout)

    if args.save:
        small = {
            c["name"]: {"path": c["path"], "columns": c["columns"], "filters": filters_to_json(c["filters"]),
                        "required_columns": c["required"], "pdbufr": reference[c["name"]]}
            for c in CASES
            if c["test"] and c["name"] in reference and filters_to_json(c["filters"]) is not None
            and not c["path"].startswith("samples/")
        }
        Path(args.save).write_text(json.dumps(small, indent=None, separators=(",", ":")) + "\n")
        print(f"saved {len(small)} cases to {args.save}")

    differing = 0
    for c in CASES:
        if args.case and c["name"] not in args.case:
            continue
        if c["name"] not in reference:
            print(f"{c['name']:24} {c['path'][:40]:40} (file not found: pass --samples)")
            continue
        expected = reference[c["name"]]
        df = run_korvane(c, resolve(c["path"], args.samples))
        diffs = compare(expected, korvane_columns(df), len(df))
        status = "agree" if not diffs else "DIFFER"
        differing += bool(diffs)
        filters = f" filters={c['filters']}" if c["filters"] else ""
        required = "" if c["required"] is True else f" required_columns={c['required']}"
        print(f"{c['name']:24} {c['path'][:40]:40} rows {expected['rows']:6} / {len(df):6}  {status}")
        print(f"    columns={c['columns']}{filters}{required}")
        for line in diffs:
            print(f"    {line}")
        if diffs and c["why"]:
            print(f"    why: {c['why']}")
    print(f"{len(reference) - differing} of {len(reference)} cases agree")
    return 0


if __name__ == "__main__":
    sys.exit(main())
