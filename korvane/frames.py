"""Tables of observations: BUFR messages into pandas DataFrames or Arrow tables.

    df = korvane.read_bufr("temp.bufr", columns=["latitude", "longitude", "pressure", "airTemperature"],
                           filters={"pressure": slice(10000, 85000)})

Names. A column or filter is named by:

* the ecCodes-style key of an element, the abbreviation of its element table
  entry ("airTemperature"). Tables without abbreviations (the WMO CSV tables)
  get a key made from the element's name: the words of the name (runs of
  letters and digits), the first in lower case, the others capitalised and
  joined ("Temperature/air temperature" gives "temperatureAirTemperature");
* a descriptor code as six digits ("012101");
* either of these with a rank, "#2#airTemperature": the second item of that
  key in the subset, counted in item order over all its items;
* a header field, one value per message: the ecCodes keys edition,
  masterTableNumber, bufrHeaderCentre, bufrHeaderSubCentre,
  updateSequenceNumber, dataCategory, internationalDataSubCategory (missing
  before edition 4), dataSubCategory, masterTablesVersionNumber,
  localTablesVersionNumber, typicalYear ... typicalSecond, numberOfSubsets,
  observedData, compressedData; and korvane's message_index (0-based, counted
  over all the messages read, in order), subset (0-based), edition,
  data_category, originating_centre, typical_datetime and source (the path or
  URL of the file the row comes from; "<buffer>" for a buffer);
* a computed key, made from the items of a few keys of the row, as pdbufr
  makes it: data_datetime (year, month, day, hour, minute, second; the last
  three count as 0 when the row lacks them; a missing or impossible part gives
  NaT), WMO_station_id (blockNumber * 1000 + stationNumber),
  WIGOS_station_id ("series-issuer-issue-local" from the four WIGOS
  identifier keys; a filter also takes a 4-tuple), geometry ([longitude,
  latitude, heightOfStationGroundAboveMeanSeaLevel], the height 0 when the row
  lacks it) and CRS (the EPSG name of coordinateReferenceSystem, "EPSG:4326"
  when the row lacks it, missing for entries that name no datum).

The columns are those named, no more: a read of many files (a list, a
directory, a glob pattern) has a source column when it is asked for. Only
where korvane chooses the columns (flat=True without columns) does a read of
more than one file get it unasked, first. A filter on source decides which
files are read at all.

A key or code that no element table of the definitions root defines, and that
is no header or computed key, raises KeyError before anything is read, naming
the closest keys (korvane._names). A known key that none of the messages read
holds gives an AbsentKeyWarning.

Rows, as the core assembles them (src/rows/table.cpp), message after message
on several threads (read_bufr's `threads`), each as this walk:

1. Selectors: each element name of the columns and filters, and each key a
   computed key is made from. A message's matched items are, in item order,
   the items of each selector (for a ranked name only the item of that rank in
   its subset); an item of two selectors is matched once for each.
2. Occurrences: the occurrences of replicated groups (Values.groups), less
   those of a group that the one-bit factor 0 31 000 includes (it is there or
   not: an optional part of its level, whose items count as that level's).
   An item's holder is the innermost remaining occurrence holding it, or the
   subset when none does: the item is then outside replications.
3. Outside replications only the first matched item of each selector in a
   subset takes part; later ones are reached by their rank ("#2#key").
4. A subset in which no selector has two items is one row. In any other the
   items are walked in order, keeping an observation (selector -> item):
   an item past the end of the holder of the item before it first drops the
   items whose holder has ended; an item whose selector the observation holds
   drops that earlier item and every item added after it. Whenever an item
   drops something, the observation as it was before is a row; the last
   observation of the subset is a row too. So each occurrence of the innermost
   replicated group holding requested keys is a row, the keys read before it
   in the enclosing levels carried along (station and time on every level of
   a sounding); sibling replications give their rows one group at a time, and
   a key read after a replication starts a row at its enclosing level.
5. A row is kept when it has an item of each required selector (by default
   every column's; the item's value may be missing) and each required computed
   key has a value, and when every filter matches its value.

A compressed message has one layout for every subset: its rows are the first
subset's, repeated. A key a row lacks is missing: NaN, <NA> or None.

With flat=True a row is a subset and every element item a column named
"#rank#key" ("#1#airTemperature", "#2#airTemperature", ...), in order of first
appearance; columns= then picks keys (all their ranks), ranked keys, codes or
header keys, a filter on a key keeps the subsets where any of its items
matches, and a required key the subsets that have an item of it. Associated
fields, operator placeholders and inserted texts are not columns; computed
keys are none either.

Types follow the element, never the values read, so that a column has one
dtype whatever the data: float64 for every element with a physical unit
(pressure in Pa as well as temperature in K); nullable Int64 for code and flag
tables, dimensionless counts and identifiers (unit "Numeric", scale 0 or
less) and calendar parts (year, month, day, hour, minute, second, day of the
year), falling back to float64 when an operator gave them fractions; texts in
the text dtype of the installed pandas ("str" from pandas 3, object before),
missing texts as its missing value. Header columns are Int64, timestamps
datetime64[us], geometry lists in an object column. df.attrs["units"] maps
each column to its unit (None for columns that are not elements).

Filters map a name (requested or not, any of the names above) to a value, a
list, set or tuple of values, a slice (both ends included, either may be None)
or a callable taking one value and returning a truth value (tried first on
the whole array of values; when that fails or gives no boolean array of the
same length, called once per distinct value); a row is kept when
all its filters match, and a missing value matches nothing. Filters on header
fields are checked on the message header, and a message whose descriptors
lack a filtered or required key, or every requested key, is not decoded at
all.
"""

from __future__ import annotations

import copy
import functools
import os
import warnings
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np

from korvane import _names
from korvane._names import AbsentKeyWarning
from korvane._sources import DEFAULT_MAX_SIZE, Found as _Found
from korvane._sources import many as _many

if TYPE_CHECKING:
    import pandas
    import pyarrow

    from korvane.reader import Message, Source

MESSAGE_COLUMNS = _names.MESSAGE_COLUMNS
DATETIME_PARTS = _names.COMPUTED["data_datetime"].parts


def _require(module: str, caller: str):
    try:
        return __import__(module)
    except ImportError as exc:
        raise ImportError(
            f"korvane.{caller} needs {module}, an optional dependency of korvane that is not installed: "
            f"pip install {module}"
        ) from exc


def key_from_name(name: str) -> str:
    """The key of an element whose table has no abbreviation."""
    return _names.key_from_name(name)


# ---- what is asked for ---------------------------------------------------------------


class _Selector(NamedTuple):
    """Items of one key (or one code), all of them or the one of a rank."""

    key: str | None
    code: int | None
    rank: int


def _selector(name: str) -> _Selector:
    return _Selector(*_names.split(name))


def _names_of(arg, what: str) -> list[str]:
    if arg is None:
        return []
    names = [arg] if isinstance(arg, str) else list(arg)
    for c in names:
        if not isinstance(c, str):
            raise TypeError(f"{what} is named by a str, not {type(c).__name__}: {c!r}")
    return names


class _Plan:
    """The names asked for, checked, and the selectors of items they read."""

    def __init__(self, columns, filters, flat: bool, required=True, definitions=None) -> None:
        columns = _names_of(columns, "a column")
        if len(set(columns)) != len(columns):
            raise ValueError(f"a column is asked for twice: {columns}")
        self.flat = flat
        self.columns = columns
        self.filters = {k: _Filter(k, _wigos_filter(v) if k == "WIGOS_station_id" else v)
                        for k, v in dict(filters or {}).items()}
        everything = columns + [k for k in self.filters if k not in columns]
        if flat:
            computed = [n for n in everything if n in _names.COMPUTED]
            if computed:
                raise ValueError(f"{computed[0]!r} is made from the items of a row: it is no column of a flat table")
        if required is True:
            required = list(columns)
        elif required is False or required is None:
            required = []
        elif isinstance(required, (str, Iterable)):
            required = _names_of(required, "a required column")
        else:
            raise TypeError(f"required_columns is True, False or the names of columns, not {required!r}")
        outside = [n for n in required if n not in columns]
        if outside:
            raise ValueError(f"required_columns names {outside[0]!r}, which is not among the columns")
        data = [n for n in everything if n not in _names.MESSAGE_LEVEL and n not in _names.COMPUTED]
        for name in data:
            _selector(name)  # a rank below 1 is an error before anything else
        if data:
            from korvane._tables import resolve_definitions

            _names.check(data, resolve_definitions(definitions))
        self.header_filters = {k: f for k, f in self.filters.items()
                               if k in _names.MESSAGE_LEVEL and k != "subset"}
        self.selectors: list[_Selector] = []
        for name in data:
            self._add(_selector(name))
        # The selectors of each computed key's parts, in order.
        self.computed: dict[str, list[int]] = {}
        for name in everything:
            if name in _names.COMPUTED:
                self.computed[name] = [self._add(_Selector(p, None, 0)) for p in _names.COMPUTED[name].parts]
        self.key = tuple(self.selectors)
        # The selector of each data column and filter, by name.
        self.index = {name: self.selectors.index(_selector(name)) for name in data}
        # Per required name, the selectors whose items a row must have: an
        # element's own, or the parts a computed key needs (its value is
        # required as well, see required_computed).
        self.required: list[list[int]] = []
        self.required_computed = [name for name in required if name in self.computed]
        for name in required:
            if name in self.index:
                self.required.append([self.index[name]])
            elif name in self.computed:
                self.required.append(self.computed[name][: _names.COMPUTED[name].needed])
        self.found = np.zeros(len(self.selectors), dtype=bool)  # selectors some message read has
        self.messages = 0
        self.held: set[str] = set()  # the keys the messages read hold
        # What the core decides: the filters on a data key's value that it
        # can compare itself (values, sets and ranges of numbers or texts),
        # and the request it reads with.
        core = {} if flat else {name: _core_filter(self.index[name], f.spec) for name, f in self.filters.items()
                                if name in self.index}
        self.core_filters = {name for name, spec in core.items() if spec is not None}
        needed = [self.computed[name][: _names.COMPUTED[name].needed] if name in self.computed else [self.index[name]]
                  for name in self.filters if name not in _names.MESSAGE_LEVEL]
        self.request = (
            [(sel.key or "", sel.code or 0, sel.rank) for sel in self.selectors],
            [] if flat else self.required,
            [spec for spec in core.values() if spec is not None],
            [] if flat else needed + self.required,
            flat,
        )

    def fresh(self) -> "_Plan":
        """This plan with nothing read yet."""
        plan = copy.copy(self)
        plan.found = np.zeros(len(self.selectors), dtype=bool)
        plan.messages = 0
        plan.held = set()
        return plan

    def _add(self, s: _Selector) -> int:
        if s not in self.selectors:
            self.selectors.append(s)
        return self.selectors.index(s)

    def saw(self, table) -> None:
        """Notes the keys of the messages a read held, for the warning about
        keys that no message has."""
        self.messages += table.messages_read
        if not self.found.all():
            self.found |= np.array(table.found(), dtype=bool)
            self.held.update(table.held_keys())

    def absent(self) -> list[AbsentKeyWarning]:
        """A warning for each key asked for that none of the messages read
        holds, and for each computed key the first such key it needs."""
        if not self.messages or self.found.all():
            return []
        held = self.held

        def warning(name: str, k: int, needed_by: str | None) -> AbsentKeyWarning:
            key = self.selectors[k].key
            near = tuple(_names.closest(key, held)) if key is not None else ()
            return AbsentKeyWarning(name, near, self.messages, needed_by)

        out = [warning(name, k, None) for name, k in self.index.items() if not self.found[k]]
        told = {k for k in self.index.values() if not self.found[k]}
        for name, ks in self.computed.items():
            lacking = [k for k in ks[: _names.COMPUTED[name].needed] if not self.found[k]]
            if lacking and not told & set(lacking):
                part = self.selectors[lacking[0]]
                out.append(warning(part.key or f"{part.code:06d}", lacking[0], name))
        return out


_PLANS: dict[tuple, _Plan] = {}


def _plan(columns, filters, flat: bool, required, definitions) -> _Plan:
    """The plan of a request: made once for requests without filters that
    name the same columns (a feed read file by file asks the same again and
    again), and checked against the definitions root in force."""
    try:
        key = (tuple([columns] if isinstance(columns, str) else columns or ()), flat,
               required if isinstance(required, bool) or required is None else tuple(
                   [required] if isinstance(required, str) else required),
               None if definitions is None else os.fspath(definitions), os.environ.get("ECCODES_DEFINITION_PATH"))
        hash(key)
    except TypeError:
        key = None
    if filters or key is None:
        return _Plan(columns, filters, flat, required, definitions)
    plan = _PLANS.get(key)
    if plan is None:
        plan = _Plan(columns, filters, flat, required, definitions)
        if len(_PLANS) >= 256:
            _PLANS.clear()
        _PLANS[key] = plan
    return plan.fresh()


# ---- filters -------------------------------------------------------------------------


def _as_datetime64(x):
    return np.datetime64(x, "us") if x is not None else None


class _Filter:
    def __init__(self, key: str, spec) -> None:
        self.key = key
        self.spec = spec
        if not isinstance(key, str):
            raise TypeError(f"a filter is keyed by a str, not {type(key).__name__}: {key!r}")

    def match(self, values: np.ndarray, missing: np.ndarray) -> np.ndarray:
        """Which of the values pass; missing ones never do."""
        spec = self.spec
        ok = ~missing
        timestamps = values.dtype.kind == "M"
        if isinstance(spec, slice):
            lo, hi = spec.start, spec.stop
            if timestamps:
                lo, hi = _as_datetime64(lo), _as_datetime64(hi)
            with np.errstate(invalid="ignore"):
                if lo is not None:
                    ok &= _compare(values, lo, np.greater_equal, ok)
                if hi is not None:
                    ok &= _compare(values, hi, np.less_equal, ok)
            return ok
        if callable(spec):
            return ok & _call(spec, values, ok)
        if isinstance(spec, Iterable) and not isinstance(spec, (str, bytes)):
            wanted = list(spec)
        else:
            wanted = [spec]
        hit = np.zeros(len(values), dtype=bool)
        for w in wanted:
            if timestamps:
                w = _as_datetime64(w)
            with np.errstate(invalid="ignore"):
                hit |= _compare(values, w, np.equal, ok)
        return ok & hit


def _compare(values, bound, op, ok) -> np.ndarray:
    if values.dtype == object:
        out = np.zeros(len(values), dtype=bool)
        try:
            out[ok] = op(values[ok], bound).astype(bool)
        except TypeError:
            pass
        return out
    try:
        return np.asarray(op(values, bound), dtype=bool)
    except TypeError:  # a bound of another type (NumPy's promotion errors are TypeErrors)
        return np.zeros(len(values), dtype=bool)


def _call(fn: Callable, values: np.ndarray, ok: np.ndarray) -> np.ndarray:
    """fn over the values that are present: once over the whole array when fn
    works element-wise on arrays, otherwise once per distinct value."""
    out = np.zeros(len(values), dtype=bool)
    present = values[ok]
    if len(present) == 0:
        return out
    if present.dtype != object:
        try:
            with np.errstate(all="ignore"):
                res = fn(present)
            if isinstance(res, np.ndarray) and res.dtype == bool and res.shape == present.shape:
                out[ok] = res
                return out
        except Exception:
            pass
    # Texts (all str: missing ones are left out) sort as well as numbers.
    distinct, inverse = np.unique(present, return_inverse=True)
    scalars = distinct.astype("datetime64[us]").tolist() if distinct.dtype.kind == "M" else distinct.tolist()
    verdict = np.fromiter((bool(fn(x)) for x in scalars), dtype=bool, count=len(scalars))
    out[ok] = verdict[inverse]
    return out


# ---- columns of a table --------------------------------------------------------------


class _Chunk:
    """One column's values for the rows of one message. kind: "f" float64
    (NaN = missing), "i" int64 with a mask, "s" texts in an object array
    (None = missing), "o" other objects, such as lists of numbers, in an
    object array (None = missing), "t" datetime64[us] (NaT = missing), "-" a key the message lacks
    (all NaN; the other messages decide the column's kind)."""

    __slots__ = ("kind", "values", "mask", "unit")

    def __init__(self, kind: str, values: np.ndarray, mask: np.ndarray | None = None, unit=None) -> None:
        self.kind, self.values, self.mask, self.unit = kind, values, mask, unit

    def take(self, keep: np.ndarray) -> "_Chunk":
        return _Chunk(self.kind, self.values[keep], None if self.mask is None else self.mask[keep], self.unit)

    def missing(self) -> np.ndarray:
        if self.kind in "f-":
            return np.isnan(self.values)
        if self.kind == "t":
            return np.isnat(self.values)
        if self.kind in "so":
            # Each object against None: NumPy's stubs take no None operand.
            return np.equal(self.values, None)  # type: ignore[call-overload]
        return self.mask if self.mask is not None else np.zeros(len(self.values), dtype=bool)

    def as_kind(self, kind: str) -> np.ndarray:
        """The values as another kind's array (a widening: i -> f, any -> o)."""
        if kind == self.kind:
            return self.values
        if kind == "f" and self.kind == "i":
            out = self.values.astype(np.float64)
            if self.mask is not None:
                out[self.mask] = np.nan
            return out
        out = self.values.astype(object)
        out[self.missing()] = None
        return out


def _missing_chunk(kind: str, n: int) -> _Chunk:
    if kind == "i":
        return _Chunk("i", np.zeros(n, dtype=np.int64), np.ones(n, dtype=bool))
    if kind == "t":
        return _Chunk("t", np.full(n, np.datetime64("NaT"), dtype="datetime64[us]"))
    if kind in "so":
        return _Chunk(kind, np.full(n, None, dtype=object))
    return _Chunk("f", np.full(n, np.nan))


def _datetime(parts: list[tuple[_Chunk, np.ndarray] | None], n: int) -> np.ndarray:
    """Timestamps from the year, month, day, hour, minute and second of each
    row, given as (column, rows lacking the key) or None when the rows have
    no such key. Hour, minute and second count as 0 where a row lacks them;
    a missing value gives NaT."""
    from korvane import _columns

    def part(p):
        if p is None:
            return None
        c, absent = p
        kind = c.kind if c.kind in "fi" else "-"
        return (kind, c.values if kind != "-" else b"", c.mask if kind == "i" else None,
                np.ascontiguousarray(absent, dtype=bool))

    return np.frombuffer(_columns.timestamps(n, *(part(p) for p in parts)), dtype="datetime64[us]")


def _timestamps(y, mo, d, h, mi, s) -> np.ndarray:
    """datetime64[us] from arrays of calendar parts (floats); NaT where a part
    is NaN or the date or time impossible."""
    from korvane import _columns

    n = len(y)
    present = np.zeros(n, dtype=bool)
    parts = [("f", np.ascontiguousarray(p, dtype=np.float64), None, present) for p in (y, mo, d, h, mi, s)]
    return np.frombuffer(_columns.timestamps(n, *parts), dtype="datetime64[us]")


def _numbers(part, n: int) -> tuple[np.ndarray, np.ndarray]:
    """A part of a computed key as float64 (NaN where missing or absent, as
    also for texts) and the rows that lack its key."""
    if part is None:
        return np.full(n, np.nan), np.ones(n, dtype=bool)
    c, absent = part
    values = np.full(n, np.nan) if c.kind in "so-" else c.as_kind("f") if c.kind == "i" else c.values
    return values, absent


def _computed(name: str, parts: list[tuple[_Chunk, np.ndarray] | None], n: int) -> _Chunk:
    """A computed key's column from its parts' columns (None: the message
    has no such key)."""
    if name == "data_datetime":
        return _Chunk("t", _datetime(parts, n))
    if name == "WMO_station_id":
        (block, _), (station, _) = (_numbers(p, n) for p in parts)
        missing = np.isnan(block) | np.isnan(station)
        value = np.where(missing, 0, block * 1000 + np.where(missing, 0, station)).astype(np.int64)
        return _Chunk("i", value, missing)
    if name == "CRS":
        code, absent = _numbers(parts[0], n)
        names = np.full(n, None, dtype=object)
        names[absent] = _names.CRS_DEFAULT
        for entry, epsg in _names.CRS_NAMES.items():
            names[~absent & (code == entry)] = epsg
        return _Chunk("s", names)
    if name == "geometry":
        (lon, _), (lat, _), (height, no_height) = (_numbers(p, n) for p in parts)
        height = np.where(no_height, 0.0, height)
        ok = ~(np.isnan(lon) | np.isnan(lat) | np.isnan(height))
        out = np.full(n, None, dtype=object)
        rows = np.flatnonzero(ok)
        out[rows] = [[x, y, z] for x, y, z in zip(lon[rows].tolist(), lat[rows].tolist(), height[rows].tolist())]
        return _Chunk("o", out)
    if name == "WIGOS_station_id":
        numbers = [_numbers(p, n)[0] for p in parts[:3]]
        local = parts[3][0].values if parts[3] is not None and parts[3][0].kind == "s" else np.full(n, None, object)
        # Each object against None: NumPy's stubs take no None operand.
        has_local = ~np.equal(local, None)  # type: ignore[call-overload]
        ok = ~(np.isnan(numbers[0]) | np.isnan(numbers[1]) | np.isnan(numbers[2])) & has_local
        out = np.full(n, None, dtype=object)
        rows = np.flatnonzero(ok)
        out[rows] = [f"{a}-{b}-{c}-{d}" for a, b, c, d in zip(*(x[rows].astype(np.int64).tolist() for x in numbers),
                                                           local[rows].tolist())]
        return _Chunk("s", out)
    raise AssertionError(name)


def _wigos_filter(spec):
    """A WIGOS_station_id filter with each identifier as its text: a 4-tuple
    or list (series, issuer, issue number, local identifier) is one
    identifier, any other list, set or tuple a collection of them."""

    def one(x):
        if isinstance(x, (tuple, list)) and len(x) == 4 and isinstance(x[3], str):
            try:
                return "-".join(str(int(p)) for p in x[:3]) + "-" + x[3]
            except (TypeError, ValueError):
                return None
        return None

    if isinstance(spec, (slice, str)) or callable(spec):
        return spec
    single = one(spec)
    if single is not None:
        return single
    if isinstance(spec, Iterable):
        return [one(x) or x for x in spec]
    return spec


def _passes(f: _Filter, name: str, value) -> bool:
    types = {"typical_datetime": np.dtype("datetime64[us]"), "source": np.dtype(object)}
    arr = np.array([value], dtype=types.get(name, np.dtype(np.int64)))
    return bool(f.match(arr, np.zeros(1, dtype=bool))[0])


# ---- reading in the core ------------------------------------------------------------

# The most cells (rows times columns) of a flat table: a bound on the memory
# one read may take, far above real data (a flat read of a sounding of 27,469
# columns is one row; of a file of 2,070 subsets of 130 keys, 269,100 cells).
MAX_FLAT_CELLS = 1 << 25


def _threads(threads) -> int:
    """The threads a read runs on: by default the cores this process may use."""
    if threads is None:
        try:
            return len(os.sched_getaffinity(0))
        except AttributeError:  # no affinity on this system
            return os.cpu_count() or 1
    if isinstance(threads, bool) or not isinstance(threads, int) or threads < 1:
        raise ValueError(f"threads must be a positive int or None, not {threads!r}")
    return threads


def _number(x) -> float | None:
    """A filter's value as a number the core compares, or None."""
    if isinstance(x, (bool, int, float, np.integer, np.floating)):
        return float(x)
    return None


def _core_filter(k: int, spec):
    """The filter of selector k as the core takes it (selector, range,
    numbers, texts, low, high), or None when only Python can decide it
    (callables, bounds that are no numbers, values of other types)."""
    if callable(spec) and not isinstance(spec, type):
        return None
    if isinstance(spec, slice):
        if spec.step is not None:
            return None
        low = -np.inf if spec.start is None else _number(spec.start)
        high = np.inf if spec.stop is None else _number(spec.stop)
        if low is None or high is None:
            return None
        return (k, True, [], [], low, high)
    wanted = list(spec) if isinstance(spec, Iterable) and not isinstance(spec, (str, bytes)) else [spec]
    numbers, texts = [], []
    for w in wanted:
        if isinstance(w, str):
            texts.append(w)
        elif (n := _number(w)) is not None:
            numbers.append(n)
        else:
            return None
    return (k, False, numbers, texts, -np.inf, np.inf)


def _message_chunk(f, name: str, chosen: np.ndarray, base: int) -> _Chunk:
    """A message-level column of `name`, one value per chosen message (by
    position in the file), `base` being the message_index of the file's first."""
    n = len(chosen)
    if name == "message_index":
        return _Chunk("i", base + chosen.astype(np.int64), None)
    if name == "source":
        return _Chunk("s", np.full(n, f.name, dtype=object))
    h = f.headers[chosen]
    if name == "typical_datetime":
        parts = ("typical_year", "typical_month", "typical_day", "typical_hour", "typical_minute", "typical_second")
        return _Chunk("t", _timestamps(*(h[p].astype(np.float64) for p in parts)))
    field = _names.HEADER_KEYS.get(name, name)
    values = h[field].astype(np.int64)
    if field == "international_data_subcategory":
        return _Chunk("i", values, h["edition"] < 4)  # edition 4 brought the field
    return _Chunk("i", values, None)


def _element(facts) -> _names.Element:
    code, kind, unit, name, scale = facts
    return _names.Element(key="", unit=unit, name=name, integer=_names.is_integer(kind, unit, name, scale),
                          text=kind == "string")


def _typed(value: np.ndarray, state: np.ndarray, text, elements: list, texts, ints=None) -> _Chunk | None:
    """A column of one selector from the core's arrays: texts, integers or
    floats as its elements say (None when no row has an item of it).
    `ints`, when given, makes the integers in the core (see Table.ints)."""
    if not elements:
        return None
    es = [_element(e) for e in elements]
    unit = es[0].unit
    present = state == 2
    if all(e.text for e in es):
        out = np.full(len(value), None, dtype=object)
        if text is not None:
            ids = np.frombuffer(text, dtype=np.int64)
            has = ids >= 0
            out[has] = texts()[ids[has]]
        return _Chunk("s", out, unit=unit)
    if any(e.text for e in es):  # numbers among texts
        out = value.astype(object)
        out[~present] = None
        if text is not None:
            ids = np.frombuffer(text, dtype=np.int64)
            has = ids >= 0
            out[has] = texts()[ids[has]]
        return _Chunk("o", out, unit=unit)
    if all(e.integer for e in es):
        if ints is not None:
            made = ints()
            if made is None:
                return _Chunk("f", value, unit=unit)
            return _Chunk("i", np.frombuffer(made, dtype=np.int64), ~present, unit)
        whole = np.where(present, value, 0.0)
        ints = np.rint(whole)
        if not (ints != whole).any() and (np.abs(ints) < 2**62).all():
            return _Chunk("i", ints.astype(np.int64), ~present, unit)
    return _Chunk("f", value, unit=unit)


def _text_array(table):
    """The texts of a table as an object array, made when first asked for."""
    cache: list[np.ndarray] = []

    def get():
        if not cache:
            arr = np.empty(len(table.texts()), dtype=object)
            arr[:] = table.texts()
            cache.append(arr)
        return cache[0]

    return get


def _read_core(f, plan: _Plan, chosen: np.ndarray, errors: str, threads: int):
    """The chosen messages of an open file read by the core: its Table."""
    from korvane import _columns
    from korvane.errors import DecodeError
    from korvane._tables import warn_version

    tables = f._tables if f._tables is not None else str(f.definitions)
    selection = None if len(chosen) == len(f.headers) else chosen.astype(np.uint64)
    table = _columns.read_table(f._view, f.headers, selection, plan.request, tables,
                                threads=threads, max_items=f.max_items or 0, stop_on_failure=errors == "raise")
    for position, kind, text in table.failures():
        h = f.headers[chosen[position]]
        e = DecodeError(text, source=f.name, index=int(h["index"]), offset=int(h["offset"]), kind=kind)
        if errors == "raise":
            raise e
        if errors == "warn":
            warnings.warn(str(e), RuntimeWarning, stacklevel=6)
    for master_table, named, read in table.fallbacks():
        warn_version(tables, master_table, named, read)
    plan.saw(table)
    return table


def _file_rows(f, plan: _Plan, base: int, names: dict, errors: str,
               threads: int) -> tuple[Mapping[str, _Chunk | _FlatPart], int]:
    """The rows of the messages of an open file: a chunk per column, and
    their number. `base` is the message_index of the file's first message."""
    chosen = np.arange(len(f.headers))
    if plan.header_filters:
        kept_messages = np.ones(len(f.headers), dtype=bool)
        for name, flt in plan.header_filters.items():
            c = _message_chunk(f, name, chosen, base)
            kept_messages &= flt.match(c.values, c.missing())
        chosen = np.flatnonzero(kept_messages)
    if plan.flat:
        return _flat_file_rows(f, plan, chosen, base, names, errors, threads)
    if not plan.selectors:
        # Header columns alone: a row per subset, nothing decoded.
        subsets = f.headers["number_of_subsets"][chosen].astype(np.int64)
        rows_msg = np.repeat(np.arange(len(chosen)), subsets)
        starts = np.cumsum(subsets) - subsets
        rows_sub = np.arange(len(rows_msg), dtype=np.int64) - np.repeat(starts, subsets)
        table = None
    else:
        table = _read_core(f, plan, chosen, errors, threads)
        rows_msg = np.frombuffer(table.row_message(), dtype=np.uint64)
        texts = _text_array(table)
    n = len(rows_msg)
    by_selector: dict[int, tuple[_Chunk | None, np.ndarray]] = {}

    def selector_chunk(k: int) -> tuple[_Chunk | None, np.ndarray]:
        """The column of selector k, and the state of each row (0: absent)."""
        hit = by_selector.get(k)
        if hit is None:
            assert table is not None  # read when a selector is asked for
            value, state, text, elements = table.column(k)
            state = np.frombuffer(state, dtype=np.uint8)
            chunk = _typed(np.frombuffer(value, dtype=np.float64), state, text, elements, texts,
                           lambda: table.ints(k))
            hit = by_selector[k] = (chunk, state)
        return hit

    def chunk_of(name: str) -> _Chunk:
        if name == "subset":
            if table is None:
                return _Chunk("i", rows_sub, None)
            return _Chunk("i", np.frombuffer(table.row_subset(), dtype=np.uint32).astype(np.int64), None)
        if name in _names.MESSAGE_LEVEL:
            return _message_chunk(f, name, chosen, base).take(rows_msg)
        if name in plan.computed:
            parts = [selector_chunk(k) for k in plan.computed[name]]
            return _computed(name, [(c, state == 0) if c is not None else None for c, state in parts], n)
        chunk = selector_chunk(plan.index[name])[0]
        return chunk if chunk is not None else _Chunk("-", np.full(n, np.nan))

    keep: np.ndarray | None = None  # every row
    for name in plan.required_computed:
        has = ~chunk_of(name).missing()  # a computed key is there when it has a value
        keep = has if keep is None else keep & has
    for name, flt in plan.filters.items():
        if name in plan.header_filters or name in plan.core_filters:
            continue
        c = chunk_of(name)
        hit = flt.match(c.values, c.missing())
        keep = hit if keep is None else keep & hit
    out = {name: chunk_of(name) for name in plan.columns}
    if keep is None or keep.all():
        return out, n
    return {name: c.take(keep) for name, c in out.items()}, int(keep.sum())


class _FlatPart:
    """The columns of numbers of a flat table of one file, dense: a row of
    `values` (float64, NaN where missing) per column, over the file's rows;
    the integer columns (`is_int`) also as int64 `ints` with their `mask`,
    in the same order. A sounding has tens of thousands of such columns:
    they are made and combined as whole matrices, never one by one."""

    __slots__ = ("names", "units", "is_int", "values", "ints", "mask")

    def __init__(self, names: list[str], units: list[str], is_int: np.ndarray, values: np.ndarray,
                 ints: np.ndarray, mask: np.ndarray) -> None:
        self.names, self.units, self.is_int = names, units, is_int
        self.values, self.ints, self.mask = values, ints, mask

    def take(self, keep: np.ndarray) -> "_FlatPart":
        return _FlatPart(self.names, self.units, self.is_int, self.values[:, keep], self.ints[:, keep],
                         self.mask[:, keep])

    def chunk(self, j: int) -> _Chunk:
        if self.is_int[j]:
            r = int(np.count_nonzero(self.is_int[:j]))
            return _Chunk("i", self.ints[r], self.mask[r], self.units[j])
        return _Chunk("f", self.values[j], unit=self.units[j])


_NUMBERS = "\0numbers"  # the entry of a file's flat columns that holds its _FlatPart


def _flat_file_rows(f, plan: _Plan, chosen: np.ndarray, base: int, names: dict, errors: str,
                    threads: int) -> tuple[dict[str, Any], int]:
    """A flat table of the chosen messages of an open file: a row per
    subset, a column "#rank#key" per element item. Its columns of numbers
    come as one _FlatPart (under _NUMBERS), the others as chunks."""
    table = _read_core(f, plan, chosen, errors, threads)
    cells = table.flat()
    nrows = table.rows
    rows_msg = np.frombuffer(table.row_message(), dtype=np.uint64).astype(np.intp)
    rows_sub = np.frombuffer(table.row_subset(), dtype=np.uint32).astype(np.int64)
    col_names = cells["names"]
    ncols = len(col_names)
    col_ranks = np.frombuffer(cells["ranks"], dtype=np.uint32)
    col_element = np.frombuffer(cells["element"], dtype=np.uint32).astype(np.intp)
    elements = [_element(e) for e in cells["elements"]]
    codes = np.array([e[0] for e in cells["elements"]], dtype=np.int64)
    col_text = np.array([e.text for e in elements], dtype=bool)[col_element] if ncols else np.zeros(0, dtype=bool)
    col_int = np.array([e.integer for e in elements], dtype=bool)[col_element] if ncols else np.zeros(0, dtype=bool)
    cell_row = np.frombuffer(cells["row"], dtype=np.uint64)
    cell_col = np.frombuffer(cells["column"], dtype=np.uint32)
    cell_state = np.frombuffer(cells["state"], dtype=np.uint8)
    cell_value = np.frombuffer(cells["value"], dtype=np.float64)
    cell_text = np.frombuffer(cells["text"], dtype=np.int64)
    texts = _text_array(table)
    col_keys = np.array(cells["keys"] or [""], dtype=object)[np.frombuffer(cells["column_key"], dtype=np.uint32)]

    def picked(sel: _Selector) -> np.ndarray:
        if sel.key is not None:
            hit = col_keys == sel.key
        else:  # the columns of the keys that have an item of the code
            holding: np.ndarray | list[str] = np.unique(col_keys[codes[col_element] == sel.code]) if ncols else []
            hit = np.isin(col_keys, holding)
        if sel.rank:
            hit &= col_ranks == sel.rank
        return np.flatnonzero(hit)

    by_column: list[np.ndarray] = []  # the cells in column order, and where each column's begin

    def chunk(j: int) -> _Chunk:
        """Column j alone, from the cells (for filters and texts)."""
        if not by_column:
            order = np.argsort(cell_col, kind="stable")
            by_column.extend((order, np.searchsorted(cell_col[order], np.arange(ncols + 1))))
        order, bounds = by_column
        mine = order[bounds[j] : bounds[j + 1]]
        r = cell_row[mine]
        state = np.zeros(nrows, dtype=np.uint8)
        state[r] = cell_state[mine]
        value = np.full(nrows, np.nan)
        value[r] = cell_value[mine]
        text = None
        if (cell_text[mine] >= 0).any():
            ids = np.full(nrows, -1, dtype=np.int64)
            ids[r] = cell_text[mine]
            text = ids
        out = _typed(value, state, text, [cells["elements"][col_element[j]]], texts)
        return out if out is not None else _Chunk("f", value)

    chosen_cols = np.arange(ncols)
    if plan.columns:
        wanted = [picked(_selector(c)) for c in plan.columns if c not in _names.MESSAGE_LEVEL]
        chosen_cols = np.unique(np.concatenate(wanted)) if wanted else np.zeros(0, dtype=np.intp)
    if nrows * len(chosen_cols) > MAX_FLAT_CELLS:
        raise ValueError(
            f"{f.name}: a flat table of {nrows} rows and {len(chosen_cols)} columns ({nrows * len(chosen_cols):,} "
            f"cells) is more than the {MAX_FLAT_CELLS:,} cells korvane builds; name the columns wanted with "
            f"columns=, or read rows with flat=False")
    out: dict[str, Any] = {}
    for name in plan.columns:
        if name == "subset":
            out[name] = _Chunk("i", rows_sub, None)
        elif name in _names.MESSAGE_LEVEL:
            out[name] = _message_chunk(f, name, chosen, base).take(rows_msg)
    # The columns of numbers, laid out at once: a row per column.
    numbers = chosen_cols[~col_text[chosen_cols]]
    where = np.full(ncols, -1, dtype=np.int64)
    where[numbers] = np.arange(len(numbers))
    values_bytes, present_bytes, whole_bytes = table.dense(where)
    values = np.frombuffer(values_bytes, dtype=np.float64).reshape(len(numbers), nrows)
    present = np.frombuffer(present_bytes, dtype=bool).reshape(len(numbers), nrows)
    # Integer elements whose values are all whole numbers are int64 columns.
    is_int = col_int[numbers] & np.frombuffer(whole_bytes, dtype=bool)
    ints = values[is_int]
    mask = ~present[is_int]
    ints[mask] = 0.0
    units = [elements[e].unit for e in col_element[numbers].tolist()]
    out[_NUMBERS] = _FlatPart([col_names[j] for j in numbers.tolist()], units, is_int, values,
                              ints.astype(np.int64), mask)
    chosen_names = col_names if len(chosen_cols) == ncols else [col_names[j] for j in chosen_cols.tolist()]
    names.update(dict.fromkeys(chosen_names))
    for j in chosen_cols[col_text[chosen_cols]].tolist():
        out[col_names[j]] = chunk(j)
    keep = np.ones(nrows, dtype=bool)
    for ks in plan.required:
        # A subset has a required key when it has any item of it.
        has = np.zeros(nrows, dtype=bool)
        has[cell_row[np.isin(cell_col, picked(plan.selectors[ks[0]]))]] = True
        keep &= has
    for fname, flt in plan.filters.items():
        if fname in plan.header_filters:
            continue
        if fname == "subset":
            keep &= flt.match(rows_sub, np.zeros(nrows, dtype=bool))
            continue
        # A subset passes when any item of the key does.
        hit = np.zeros(nrows, dtype=bool)
        for j in picked(_selector(fname)).tolist():
            c = chunk(j)
            hit |= flt.match(c.values, c.missing())
        keep &= hit
    if not keep.all():
        out = {k: c.take(keep) for k, c in out.items()}
    return out, int(keep.sum())


class _Blocks(Sequence):
    """The columns of a flat table, those of numbers held as whole matrices
    (float64 and int64 with a mask, a row per column) and the others as
    chunks: a sequence of chunks to those that want them one by one, and
    blocks for pandas, which then takes them as they are."""

    def __init__(self, names: list[str], chunks: dict[str, list], counts: list[int],
                 parts: list[tuple[int, _FlatPart]]) -> None:
        self.names = names
        position = {n: j for j, n in enumerate(names)}
        kinds = np.full(len(names), "c")
        rows = np.full(len(names), -1, dtype=np.intp)
        units: list[str | None] = [None] * len(names)
        if len(parts) == 1 and len(counts) == 1:
            # One file, whose columns are each numbers or not: its matrices
            # are the table's.
            part = parts[0][1]
            at = np.array([position[n] for n in part.names], dtype=np.intp)
            kinds[at] = np.where(part.is_int, "i", "f")
            rows[at[~part.is_int]] = np.arange(int(np.count_nonzero(~part.is_int)))
            rows[at[part.is_int]] = np.arange(len(part.ints))
            for j, unit in zip(at.tolist(), part.units):
                units[j] = unit
            self.floats = part.values if not part.is_int.any() else part.values[~part.is_int]
            self.ints, self.mask = part.ints, part.mask
        else:
            self._combine_parts(chunks, counts, parts, position, kinds, rows, units)
        self.kinds, self.rows = kinds.tolist(), rows.tolist()
        self.others = {}
        for j in np.flatnonzero(kinds == "c").tolist():
            n = names[j]
            c = self.others[n] = _combine(chunks.get(n) or [None] * len(counts), counts)
            units[j] = c.unit
        self.units = units

    def _combine_parts(self, chunks, counts, parts, position, kinds, rows, units) -> None:
        total = sum(counts)
        starts = np.cumsum([0] + counts)
        kind: dict[str, str] = {}
        for _, part in parts:
            for name, integer, unit in zip(part.names, part.is_int.tolist(), part.units):
                k = "i" if integer else "f"
                kind[name] = k if kind.get(name, k) == k else "f"
                if units[position[name]] is None:
                    units[position[name]] = unit
        # A name that is texts in one file and numbers in another is
        # combined chunk by chunk, as are all other columns.
        mixed = {n for n, lst in chunks.items() if n in kind and any(c is not None for c in lst)}
        for n in mixed:
            del kind[n]
        f_row: dict[str, int] = {}
        i_row: dict[str, int] = {}
        for n in self.names:
            kind_n = kind.get(n)
            if kind_n is not None:
                rows_of = f_row if kind_n == "f" else i_row
                rows[position[n]] = rows_of[n] = len(rows_of)
                kinds[position[n]] = kind_n
        self.floats = np.full((len(f_row), total), np.nan)
        self.ints = np.zeros((len(i_row), total), dtype=np.int64)
        self.mask = np.ones((len(i_row), total), dtype=bool)
        for file, part in parts:
            span = slice(int(starts[file]), int(starts[file + 1]))
            into_f = [(j, f_row[n]) for j, n in enumerate(part.names) if n in f_row]
            if into_f:
                src, dst = map(np.array, zip(*into_f))
                self.floats[dst, span] = part.values[src]
            ints_at = np.flatnonzero(part.is_int).tolist()
            into_i = [(r, i_row[part.names[j]]) for r, j in enumerate(ints_at) if part.names[j] in i_row]
            if into_i:
                src, dst = map(np.array, zip(*into_i))
                self.ints[dst, span] = part.ints[src]
                self.mask[dst, span] = part.mask[src]
            for j, n in enumerate(part.names):
                if n in mixed:
                    chunks[n][file] = part.chunk(j)

    def __len__(self) -> int:
        return len(self.names)

    def __getitem__(self, j):
        if isinstance(j, slice):
            return [self[k] for k in range(*j.indices(len(self)))]
        kind, row = self.kinds[j], self.rows[j]
        if kind == "f":
            return _Chunk("f", self.floats[row], unit=self.units[j])
        if kind == "i":
            return _Chunk("i", self.ints[row], self.mask[row], self.units[j])
        return self.others[self.names[j]]

    def pandas(self, pd, series):
        """The DataFrame of these columns, built from blocks where this
        pandas takes them (from pandas 3), otherwise column by column."""
        try:
            from pandas.api.internals import create_dataframe_from_blocks
        except ImportError:
            return None
        kinds = np.array(self.kinds)
        blocks: list = []
        at = np.flatnonzero(kinds == "f")
        if len(at):
            blocks.append((self.floats, at))
        for j in np.flatnonzero(kinds == "i").tolist():
            blocks.append((pd.arrays.IntegerArray(self.ints[self.rows[j]], self.mask[self.rows[j]]), np.array([j])))
        for j in np.flatnonzero(kinds == "c").tolist():
            arr = series(self.others[self.names[j]])
            if isinstance(arr, np.ndarray):
                arr = pd.array(arr) if arr.dtype.kind in "mM" else arr.reshape(1, -1)
            blocks.append((arr, np.array([j])))
        rows = self.floats.shape[1] if len(at) else len(self[0].values) if len(self) else 0
        return create_dataframe_from_blocks(blocks, index=pd.RangeIndex(rows), columns=pd.Index(self.names))


# ---- reading -------------------------------------------------------------------------


def _sources(source, errors: str, storage_options) -> list:
    """The sources of a read, a directory's or a pattern's files one by one."""
    skipped: list[str] = []
    out = _many(source, lambda path, kind: skipped.append(f"{path}: skipped: {kind}, not a regular file"),
                storage_options)
    if errors != "skip":
        for text in skipped:
            warnings.warn(text, UserWarning, stacklevel=5)  # read_bufr's caller
    return out


def _read(source, plan: _Plan, definitions, errors, max_size, storage_options, threads=None):
    import korvane

    if errors not in ("raise", "warn", "skip"):
        raise ValueError(f"errors must be 'raise', 'warn' or 'skip', not {errors!r}")
    flat = plan.flat
    threads = _threads(threads)
    sources = _sources(source, errors, storage_options)
    # Where korvane chooses the columns (a flat read without `columns`), a
    # read of several files says which one each row comes from.
    with_source = flat and not plan.columns and len(sources) > 1
    names: dict[str, None] = dict.fromkeys(c for c in plan.columns if not flat or c in _names.MESSAGE_LEVEL)
    if with_source:
        names = {"source": None, **names}
    source_filter = plan.header_filters.get("source")
    chunks: dict[str, list[_Chunk | None]] = {}
    counts: list[int] = []
    parts: list[tuple[int, _FlatPart]] = []  # the numbers of a flat read, by file
    index = -1
    for src in sources:
        found = isinstance(src, _Found)
        if found and source_filter is not None and not _passes(source_filter, "source", src.name):
            continue  # the file is not read at all
        try:
            f = korvane.open(src.path if found else src, definitions=definitions, errors=errors,
                             max_size=max_size, storage_options=storage_options)
        except OSError as exc:
            # A file found in a directory or by a pattern that cannot be read
            # (gone since, a link to nothing) is a damaged source; a named one is an error.
            if not found or src.named or errors == "raise":
                raise
            if errors == "warn":
                warnings.warn(str(exc), RuntimeWarning, stacklevel=4)
            continue
        if found:
            f.name = src.name  # a URL rather than the path it names
        with f:
            out, n = _file_rows(f, plan, index + 1, names, errors, threads)
            index += len(f)
            if f._last is not None:  # a last message cut short, under errors="raise"
                raise f._last
        if n == 0:
            continue
        if with_source:
            out = {"source": _Chunk("s", np.full(n, f.name, dtype=object)), **out}
        for name, c in out.items():
            if isinstance(c, _FlatPart):  # under _NUMBERS
                parts.append((len(counts), c))
                continue
            lst = chunks.setdefault(name, [])
            lst.extend([None] * (len(counts) - len(lst)))
            lst.append(c)
        counts.append(n)
    for name in names if not parts else list(chunks):
        lst = chunks.setdefault(name, [])
        lst.extend([None] * (len(counts) - len(lst)))
    return list(names), chunks, counts, parts


def _combine(parts: list[_Chunk | None], counts: list[int]) -> _Chunk:
    if len(parts) == 1 and parts[0] is not None and parts[0].kind != "-":
        return parts[0]
    parts = [None if c is not None and c.kind == "-" else c for c in parts]
    kinds = {c.kind for c in parts if c is not None}
    if not kinds:
        kind = "f"
    elif len(kinds) == 1:
        kind = kinds.pop()
    elif kinds <= {"i", "f"}:
        kind = "f"
    else:
        kind = "o"  # numbers among texts
    unit = next((c.unit for c in parts if c is not None and c.unit is not None), None)
    full = [c if c is not None else _missing_chunk(kind, n) for c, n in zip(parts, counts)]
    if not full:
        return _missing_chunk(kind, 0)
    values = np.concatenate([c.as_kind(kind) for c in full]) if len(full) > 1 else full[0].as_kind(kind)
    mask = None
    if kind == "i":
        masks = [c.mask if c.mask is not None else np.zeros(len(c.values), dtype=bool) for c in full]
        mask = np.concatenate(masks) if len(masks) > 1 else masks[0]
    return _Chunk(kind, values, mask, unit)


def _table(source, plan: _Plan, definitions, errors, max_size=DEFAULT_MAX_SIZE, storage_options=None,
           threads=None) -> tuple[list[str], Sequence[_Chunk]]:
    """The columns of the table, read with `plan` (which notes the keys the
    messages hold: several sources read with one plan are one table's)."""
    names, chunks, counts, parts = _read(source, plan, definitions, errors, max_size, storage_options, threads)
    if plan.flat and sum(counts) * len(names) > MAX_FLAT_CELLS:
        raise ValueError(
            f"a flat table of {sum(counts)} rows and {len(names)} columns ({sum(counts) * len(names):,} cells) is "
            f"more than the {MAX_FLAT_CELLS:,} cells korvane builds; name the columns wanted with columns=, or "
            f"read rows with flat=False")
    if parts:
        return names, _Blocks(names, chunks, counts, parts)
    return names, [_combine(chunks[name], counts) for name in names]


def read_bufr(source: Source | Sequence[Source], columns: str | Iterable[str] | None = None,
              filters: Mapping[str, Any] | None = None, *, required_columns: bool | str | Iterable[str] = True,
              definitions: str | os.PathLike[str] | None = None, errors: str = "warn",
              flat: bool = False, max_size: int | str | None = DEFAULT_MAX_SIZE,
              storage_options: Mapping[str, Any] | None = None, threads: int | None = None) -> pandas.DataFrame:
    """The observations of every message of `source` as a pandas DataFrame.

    A column per name of `columns`, a row per subset or, where a requested
    key repeats within the replications of a subset, per occurrence of the
    replication holding it; rows kept by `required_columns` and `filters`.
    The rules for names, rows, types and filters are in this module's text
    (`help(korvane.frames)`).

    Args:
        source: What `korvane.open` reads (a path, a URL, a file object or
            a buffer, compressed or not), a directory (its files, read
            recursively), a glob pattern (`"obs/**/*.bufr"`, or in a URL),
            or a list of these, read in order. Special files in a directory
            or matched by a pattern are skipped with a warning; a file found
            there that cannot be read goes as `errors` says.
        columns: Names of the columns, in order: element keys
            (`"airTemperature"`), six-digit codes (`"012101"`), ranked keys or
            codes (`"#2#airTemperature"`), header keys (`"dataCategory"`,
            `"bufrHeaderCentre"`, ... or korvane's `message_index`, `subset`,
            `edition`, `data_category`, `originating_centre`,
            `typical_datetime`, `source`: the row's file), or computed keys (`"data_datetime"`,
            `"WMO_station_id"`, `"WIGOS_station_id"`, `"geometry"`, `"CRS"`).
            A str is one column.
        filters: A mapping of name (any of the above, asked for as a column
            or not) to a value, a list, set or tuple of values, a slice (both
            ends included, either may be None) or a callable; a row is kept
            when all filters match, and a missing value matches none.
        required_columns: The columns a row must have an item of to be kept
            (the item's value may be missing): True, the default, for every
            column; False for none; or some of the columns' names.
        definitions: The definitions root to take the tables from, as for
            `korvane.open`.
        errors: What a message that cannot be read does: `"warn"` (the
            default here) warns and goes on, `"skip"` goes on silently,
            `"raise"` raises its DecodeError.
        flat: A row per subset and a column `"#rank#key"` for every element
            item; `columns` then picks keys (all their ranks), ranked keys,
            codes or header keys. Without `columns`, a read of more than one
            file has a first column `source`.
        max_size: As for `korvane.open`, for each file.
        storage_options: Passed to fsspec for URLs, as for `korvane.open`.
        threads: How many threads decode messages and assemble their rows,
            all without the interpreter lock; by default the cores this
            process may use. The table is the same for any number, its rows
            in file order.

    Returns:
        The table. `df.attrs["units"]` maps each column to its unit (None
            for columns that are not elements).

    Raises:
        ImportError: When pandas is not installed.
        KeyError: Before anything is read, for a name that no element table
            defines and that is no header or computed key; its text names the
            closest known keys.
        DecodeError: With `errors="raise"`, for the first damaged message.
        TypeError: For a column or filter not named by a str, or a
            `required_columns` that is neither a bool nor names.
        ValueError: For a column asked for twice, a rank below 1, a required
            name that is not a column, a computed key in a flat table, an
            unknown `errors`, a `threads` below 1, or a flat table of more
            than `MAX_FLAT_CELLS` cells (name the columns wanted).
        OSError: For a named file that cannot be read or is not a regular
            file; FileNotFoundError for a pattern that matches nothing.

    Warns:
        AbsentKeyWarning: For each key asked for that none of the messages
            read holds (its column is all missing).
    """
    pd = _require("pandas", "read_bufr")
    plan = _plan(columns, filters, flat, required_columns, definitions)
    names, cols = _table(source, plan, definitions, errors, max_size, storage_options, threads)
    for w in plan.absent():
        warnings.warn(w, stacklevel=2)
    return _pandas(pd, names, cols)


@functools.cache
def _text_dtype(pd):
    """The dtype pandas itself gives texts: "str" from pandas 3 (and with
    its future.infer_string option), object before."""
    return pd.Series(["x"]).dtype


@functools.lru_cache(maxsize=256)
def _column_index(pd, names: tuple[str, ...]):
    # An Index is immutable, so tables of the same columns share one: made
    # afresh, it is a good part of the time of a small read.
    return pd.Index(names)


def _pandas(pd, names: list[str], cols: Sequence[_Chunk]):
    df = _pandas_columns(pd, names, cols)
    units = cols.units if isinstance(cols, _Blocks) else [c.unit for c in cols]
    df.attrs["units"] = dict(zip(names, units))
    return df


def _pandas_columns(pd, names: list[str], cols: Sequence[_Chunk]):
    text = None

    def series(c: _Chunk):
        nonlocal text
        if c.kind == "i":
            mask = c.mask if c.mask is not None else np.zeros(len(c.values), dtype=bool)
            return pd.arrays.IntegerArray(c.values, mask)
        if c.kind == "s":
            if text is None:
                text = _text_dtype(pd)
            return c.values if text == object else pd.array(c.values, dtype=text)
        return c.values

    if not names:
        return pd.DataFrame()
    if isinstance(cols, _Blocks):
        df = cols.pandas(pd, series)
        if df is not None:
            return df
    arrays = [series(c) for c in cols]
    # Our columns are ready-made arrays of one length and of their final
    # types: pandas need not check and convert them one by one, which is most
    # of its time on a wide table (a flat read) and on a small one.
    try:
        return pd.DataFrame._from_arrays(arrays, columns=_column_index(pd, tuple(names)),
                                         index=pd.RangeIndex(len(cols[0].values)), verify_integrity=False)
    except (AttributeError, TypeError):
        return pd.DataFrame(dict(zip(names, arrays)), copy=False)


def read_arrow(source: Source | Sequence[Source], columns: str | Iterable[str] | None = None,
               filters: Mapping[str, Any] | None = None, *, required_columns: bool | str | Iterable[str] = True,
               definitions: str | os.PathLike[str] | None = None, errors: str = "warn",
               flat: bool = False, max_size: int | str | None = DEFAULT_MAX_SIZE,
               storage_options: Mapping[str, Any] | None = None, threads: int | None = None) -> pyarrow.Table:
    """The same table as `read_bufr`, as a `pyarrow.Table`.

    Takes the same arguments. Missing values are nulls; integer-valued
    elements are int64, texts string, timestamps `timestamp("us")`,
    `geometry` a list of float64; each element's unit is in its field's
    metadata under `b"unit"`.

    Raises:
        ImportError: When pyarrow is not installed.
    """
    pa = _require("pyarrow", "read_arrow")
    plan = _plan(columns, filters, flat, required_columns, definitions)
    names, cols = _table(source, plan, definitions, errors, max_size, storage_options, threads)
    for w in plan.absent():
        warnings.warn(w, stacklevel=2)
    return _arrow(pa, names, cols)


def _arrow(pa, names: list[str], cols: Sequence[_Chunk]):
    arrays, fields = [], []
    for name, c in zip(names, cols):
        if c.kind == "f":
            arr = pa.array(c.values, mask=np.isnan(c.values), type=pa.float64())
        elif c.kind == "i":
            arr = pa.array(c.values, mask=c.mask, type=pa.int64())
        elif c.kind == "t":
            arr = pa.array(c.values, mask=np.isnat(c.values), type=pa.timestamp("us"))
        elif c.kind == "o" and name == "geometry":
            arr = pa.array(c.values.tolist(), type=pa.list_(pa.float64()))
        else:
            arr = pa.array(c.values, type=pa.string(), from_pandas=True)
        arrays.append(arr)
        meta = {b"unit": c.unit.encode()} if c.unit is not None else None
        fields.append(pa.field(name, arr.type, metadata=meta))
    return pa.Table.from_arrays(arrays, schema=pa.schema(fields))


class KeyInfo(NamedTuple):
    """One key of a message, as `describe()` lists it."""

    key: str
    """The key: the element's abbreviation, or a name made from its name."""
    code: str
    """The element's descriptor code, six digits ("012101")."""
    name: str
    """The element's name in Table B."""
    unit: str
    """The element's unit ("CCITT IA5" for texts)."""
    ranks: int
    """The most items of the key in one subset: `"#1#key"` to `"#{ranks}#key"` can be asked for."""


def describe(message: Message) -> list[KeyInfo]:
    """The keys of a message's elements, to choose the columns of `read_bufr`.

    In order of first appearance, with their codes, names, units and how many
    items of the key one subset holds at most: the names to ask for are the
    key, `"#2#key"`, ... or the code.

    Args:
        message: A `korvane.Message` (it is decoded).

    Raises:
        DecodeError: When the message cannot be decoded.
    """
    v = message.decode()
    structure = _names.structure(message)
    items = np.flatnonzero(v.kind <= 1)
    icode = v.code[items]
    present, first = np.unique(icode, return_index=True)
    structure.add_codes(present)
    sub = np.searchsorted(v.subset_bounds, items, side="right") - 1
    out: dict[str, KeyInfo] = {}
    for j in np.argsort(first, kind="stable"):
        c = int(present[j])
        e = structure.element(c)
        if e is None or e.key in out:
            continue
        codes = structure.by_key.get(e.key, [c])
        ranks = int(np.bincount(sub[np.isin(icode, codes)]).max())
        out[e.key] = KeyInfo(e.key, f"{c:06d}", e.name, e.unit, ranks)
    return list(out.values())
