"""What the names of a table's columns stand for, and whether a name is known.

A column of `korvane.read_bufr` is named by one of:

* a message-level name: korvane's own (`message_index`, `subset`, `edition`,
  `data_category`, `originating_centre`, `typical_datetime`) or the ecCodes
  key of a header field (`dataCategory`, `bufrHeaderCentre`, ...,
  `HEADER_KEYS`);
* a computed key (`data_datetime`, `WMO_station_id`, `WIGOS_station_id`,
  `geometry`, `CRS`), made from the items of a few element keys of the row;
* an element key, a six-digit code, or either with a rank ("#2#key").

A name of the last kind is known when an element table of the definitions
root defines it. The keys of the newest WMO master table are read first, and
all the element tables of the root (every master version, the local tables)
only when a name is not among them: the whole set is about fifty files,
twenty milliseconds to read, and read once per root and process.
"""

from __future__ import annotations

import functools
import os
import threading
from typing import NamedTuple

from korvane import _items

# korvane's own message-level names; source is the path or URL of the file.
MESSAGE_COLUMNS = ("message_index", "subset", "edition", "data_category", "originating_centre", "typical_datetime",
                   "source")

#: Header fields under their ecCodes keys, and the `Message` field of each.
HEADER_KEYS = {
    "edition": "edition",
    "masterTableNumber": "master_table_number",
    "bufrHeaderCentre": "originating_centre",
    "bufrHeaderSubCentre": "originating_subcentre",
    "updateSequenceNumber": "update_sequence_number",
    "dataCategory": "data_category",
    "internationalDataSubCategory": "international_data_subcategory",
    "dataSubCategory": "local_data_subcategory",
    "masterTablesVersionNumber": "master_tables_version_number",
    "localTablesVersionNumber": "local_tables_version_number",
    "typicalYear": "typical_year",
    "typicalMonth": "typical_month",
    "typicalDay": "typical_day",
    "typicalHour": "typical_hour",
    "typicalMinute": "typical_minute",
    "typicalSecond": "typical_second",
    "numberOfSubsets": "number_of_subsets",
    "observedData": "observed_data",
    "compressedData": "compressed_data",
}

# Every name that has one value per message (subset: one per subset).
MESSAGE_LEVEL = frozenset(MESSAGE_COLUMNS) | frozenset(HEADER_KEYS)


class Computed(NamedTuple):
    """A column made from element keys of the row: `parts` are read as
    requested keys are (they shape the rows), the first `needed` of them must
    be in a row for the key to be there."""

    parts: tuple[str, ...]
    needed: int


COMPUTED = {
    # hour, minute and second count as 0 when the row lacks them.
    "data_datetime": Computed(("year", "month", "day", "hour", "minute", "second"), 3),
    "WMO_station_id": Computed(("blockNumber", "stationNumber"), 2),
    "WIGOS_station_id": Computed(
        ("wigosIdentifierSeries", "wigosIssuerOfIdentifier", "wigosIssueNumber", "wigosLocalIdentifierCharacter"), 4),
    # The height counts as 0 when the row lacks it.
    "geometry": Computed(("longitude", "latitude", "heightOfStationGroundAboveMeanSeaLevel"), 2),
    # A row without a coordinate reference system is in WGS 84.
    "CRS": Computed(("coordinateReferenceSystem",), 0),
}

# Code table 0 01 150, coordinate reference system: the EPSG name of each
# entry that names a datum (4 and 5 need further parameters; none there).
CRS_NAMES = {0: "EPSG:4326", 1: "EPSG:4258", 2: "EPSG:4269", 3: "EPSG:4314"}
CRS_DEFAULT = "EPSG:4326"

key_from_name = _items.key_from_name
split = _items.split_name


# ---- the keys the element tables define ----------------------------------------------


class _Tables:
    """The element keys and codes of one definitions root."""

    def __init__(self, root: str) -> None:
        self.root = root
        self.keys: set[str] = set()
        self.codes: set[int] = set()
        self.whole = False
        self.lock = threading.Lock()
        base = os.path.join(root, "bufr", "tables", "0", "wmo")
        try:
            newest = max((int(n) for n in os.listdir(base) if n.isdigit()), default=None)
        except OSError:
            newest = None
        if newest is not None:
            self._read(os.path.join(base, str(newest), "element.table"))

    def _read(self, path: str) -> None:
        try:
            with open(path, "rb") as f:
                data = f.read()
        except OSError:
            return
        keys, codes = self.keys, self.codes
        for line in data.splitlines():
            # code|abbreviation|type|name|unit|scale|reference|width|...
            if len(line) < 8 or not line[:6].isdigit() or line[6:7] != b"|":
                continue
            end = line.find(b"|", 7)
            if end < 0:
                continue
            key = line[7:end]
            if not key:
                fields = line.split(b"|", 4)
                key = key_from_name(fields[3].decode("utf-8", "replace")).encode() if len(fields) > 3 else b""
            codes.add(int(line[:6]))
            keys.add(key.decode("utf-8", "replace"))

    def _read_all(self) -> None:
        with self.lock:
            if self.whole:
                return
            for directory, _, files in os.walk(os.path.join(self.root, "bufr", "tables")):
                if "element.table" in files:
                    self._read(os.path.join(directory, "element.table"))
            self.whole = True

    def has_key(self, key: str) -> bool:
        if key not in self.keys and not self.whole:
            self._read_all()
        return key in self.keys

    def has_code(self, code: int) -> bool:
        if code not in self.codes and not self.whole:
            self._read_all()
        return code in self.codes

    def all_keys(self) -> set[str]:
        if not self.whole:
            self._read_all()
        return self.keys


_ROOTS: dict[str, _Tables] = {}
_ROOTS_LOCK = threading.Lock()


def tables_of(root) -> _Tables:
    """The element keys of a definitions root, read once per process."""
    root = os.fspath(root)
    with _ROOTS_LOCK:
        t = _ROOTS.get(root)
        if t is None:
            t = _ROOTS[root] = _Tables(root)
    return t


# ---- what the tables say about the codes of a message ----------------------------------


# Units of elements whose values are counts, identifiers or table entries.
CODE_UNITS = {"code table", "flag table"}
CALENDAR = {"YEAR", "MONTH", "DAY", "HOUR", "MINUTE", "SECOND", "DAY OF THE YEAR"}


class Element(NamedTuple):
    """An element as the tables of observations read it."""

    key: str
    unit: str
    name: str
    integer: bool
    text: bool


def is_integer(kind: str, unit: str, name: str, scale: int) -> bool:
    """Whether an element's values are read as integers: code and flag
    tables; dimensionless counts and identifiers (unit "Numeric") and calendar
    parts (year, month, ..., second, day of the year), unless their scale
    gives them fractions. Every other element has a physical unit and is read
    as float64, whatever its scale."""
    if kind in ("table", "flag", "code") or unit.lower() in CODE_UNITS:
        return True
    if scale > 0 or kind == "string":
        return False
    return unit.lower() == "numeric" or name.strip().upper() in CALENDAR


class Structure:
    """The elements a message's descriptors can produce, per table set and
    descriptor list (shared by every message of the same layout)."""

    def __init__(self, tables, descriptors) -> None:
        self.tables = tables  # kept alive: the cache is keyed by its id
        self.elements: dict[int, Element] = {}
        self.complete = True
        try:
            codes = set(tables.expand(list(descriptors)))
        except ValueError:
            codes, self.complete = set(), False
        for code in sorted(codes):
            if code < 100000:
                self.element(code)
        self.by_key: dict[str, list[int]] = {}
        for code, e in self.elements.items():
            self.by_key.setdefault(e.key, []).append(code)

    def element(self, code: int) -> Element | None:
        e = self.elements.get(code)
        if e is None and code not in self.elements:
            d = self.tables.get_element(code)
            if d is None:
                return None
            e = Element(
                key=d.abbreviation or key_from_name(d.name),
                unit=d.unit,
                name=d.name,
                integer=is_integer(d.element_type, d.unit, d.name, d.scale),
                text=d.element_type == "string",
            )
            self.elements[code] = e
        return e

    def add_codes(self, codes) -> None:
        """Learns codes met in the data that the expansion did not give."""
        for code in codes.tolist():
            if code < 100000 and code not in self.elements:
                e = self.element(code)
                if e is not None:
                    self.by_key.setdefault(e.key, []).append(code)



_STRUCTURES: dict[tuple, Structure] = {}


def structure(message) -> Structure:
    """The Structure of a message's tables and descriptors, shared by messages alike."""
    key = (id(message.tables), tuple(message.unexpanded_descriptors))
    s = _STRUCTURES.get(key)
    if s is None or s.tables is not message.tables:
        if len(_STRUCTURES) > 512:
            _STRUCTURES.clear()
        s = _STRUCTURES[key] = Structure(message.tables, message.unexpanded_descriptors)
    return s


# ---- unknown and absent names ----------------------------------------------------------


class UnknownKeyError(KeyError):
    """A name that no element table defines and that is no message-level or
    computed key. Its text is the plain message (a KeyError would quote it)."""

    def __str__(self) -> str:
        return str(self.args[0]) if self.args else ""


class AbsentKeyWarning(UserWarning):
    """A known key that none of the messages read holds: its column is all
    missing (or, for a key a computed column needs, that column is).

    Attributes:
        key: The name asked for, or the key a computed column needs.
        near: The keys of the messages read that are closest to it.
        messages: How many messages were read.
        needed_by: The computed column that needs the key, or None.
    """

    def __init__(self, key: str, near: tuple[str, ...] = (), messages: int = 0, needed_by: str | None = None) -> None:
        self.key, self.near, self.messages, self.needed_by = key, tuple(near), messages, needed_by
        super().__init__(absent_text(key, self.near, messages, needed_by))


def _quoted(names) -> str:
    names = [repr(n) for n in names]
    return names[0] if len(names) == 1 else ", ".join(names[:-1]) + " or " + names[-1]


def closest(name: str, candidates, n: int = 3) -> list[str]:
    """The candidates closest to `name`, best first (letter case ignored)."""
    return list(_closest(name, frozenset(candidates), n))


@functools.lru_cache(maxsize=1024)
def _closest(name: str, candidates: frozenset, n: int) -> tuple[str, ...]:
    # A feed read file by file asks the same question of the same keys again
    # and again; the comparison costs far more than the lookup.
    import difflib  # with the regular expressions it needs, a tenth of the command's start-up

    by_folded: dict[str, str] = {}
    for c in sorted(candidates):
        by_folded.setdefault(c.lower(), c)
    found = difflib.get_close_matches(name.lower(), list(by_folded), n=n, cutoff=0.6)
    return tuple(by_folded[f] for f in found)


def unknown_text(name: str, near: list[str]) -> str:
    text = f"unknown key {name!r}: no element table defines it, and it is no header or computed key"
    if near:
        text += f"; did you mean {_quoted(near)}?"
    return text


def absent_text(key: str, near: tuple[str, ...] = (), messages: int = 0, needed_by: str | None = None) -> str:
    where = "the message read" if messages == 1 else f"any of the {messages} messages read" if messages else \
        "any message read"
    column = "its column is" if needed_by is None else f"{needed_by!r}, made from it, is"
    text = f"{key!r} is not in {where}: {column} all missing"
    if near:
        text += f" (they hold {_quoted(near)})" if messages != 1 else f" (it holds {_quoted(near)})"
    return text


def check(names, root) -> None:
    """Raises UnknownKeyError for the first element name (key, code or ranked
    key) that no element table of `root` defines."""
    tables = None
    for name in names:
        if name in MESSAGE_LEVEL or name in COMPUTED:
            continue
        key, code, _ = split(name)
        if tables is None:
            tables = tables_of(root)
        if key is not None and not tables.has_key(key):
            others = tables.all_keys() | MESSAGE_LEVEL | set(COMPUTED)
            raise UnknownKeyError(unknown_text(name, closest(key, others)))
        if code is not None and not tables.has_code(code):
            raise UnknownKeyError(f"unknown code {name!r}: no element table defines {code:06d}")
