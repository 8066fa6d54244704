"""Messages for the command line, read without NumPy: header records from the
scan buffers, table sets per header (each loaded once), the items of a decoded
message with their keys, and code- and flag-table meanings."""

from __future__ import annotations

import os
import warnings

from korvane import _columns, _items, _korvane, _tables
from korvane._items import CHARACTER, INSERTED_TEXT, OPERATOR, key_from_name
from korvane._cli import inputs
from korvane.cli import CliError, definitions_root

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Literal

# ---- headers ---------------------------------------------------------------------

_SIZE, _LAYOUT = _columns.header_layout()
# Each field is read through a view of the records cast to its own type (the
# extension lays every field out on its natural alignment), which needs no
# module beyond the interpreter's own.
_VIEW_TYPES: dict[str, Literal["B", "H", "I", "Q", "b", "h", "i", "q"]] = {"u1": "B", "u2": "H", "u4": "I", "u8": "Q", "i1": "b", "i2": "h", "i4": "i", "i8": "q", "?": "B"}
_FIELDS = [(name, _VIEW_TYPES[kind], offset) for name, kind, offset in _LAYOUT]
_BOOLEAN = {name for name, kind, _ in _LAYOUT if kind == "?"}


def _records(buffer) -> list[dict]:
    raw = memoryview(buffer).cast("B")
    n = len(raw) // _SIZE
    views = {t: raw.cast(t) for t in set(t for _, t, _ in _FIELDS)}
    fields = []
    for name, t, offset in _FIELDS:
        size = views[t].itemsize
        fields.append((name, views[t], offset // size, _SIZE // size, t == "B" and name in _BOOLEAN))
    return [{name: (bool(v[first + i * step]) if boolean else v[first + i * step])
             for name, v, first, step, boolean in fields} for i in range(n)]


# Record fields that are no header field of the message (as korvane.Message.header leaves them out).
_INTERNAL = ("index", "offset", "descriptors_begin", "descriptors_end")


class Scan:
    """The messages found in a buffer: `headers` (one dict per readable
    message, with "index", "offset", "total_length" and the header fields),
    and `problems` ((index, offset, length, kind, text) per damaged message)."""

    def __init__(self, data) -> None:
        headers, descriptors, self.problems = _columns.scan(data)
        self.headers = _records(headers)
        self._descriptors = memoryview(descriptors).cast("I")

    def descriptors(self, h: dict) -> list[int]:
        return self._descriptors[h["descriptors_begin"] : h["descriptors_end"]].tolist()

    def header(self, h: dict) -> dict:
        """The header fields under the names of BufrMessage, descriptors included."""
        out = {k: v for k, v in h.items() if k not in _INTERNAL}
        out["unexpanded_descriptors"] = self.descriptors(h)
        return out

    def entries(self):
        """(index, header, problem) for every message in file order; one of header and problem is None."""
        problems = {p[0]: p for p in self.problems}
        n = len(self.headers) + len(self.problems)
        it = iter(self.headers)
        for i in range(n):
            p = problems.get(i)
            yield (i, None, p) if p is not None else (i, next(it), None)


def scan_of(src, data) -> Scan | None:
    """The messages of a source's bytes, or None when there are none (and
    then, for a source named on the command line, which fails the command,
    a line on stderr saying so)."""
    scan = Scan(data.view)
    if scan.headers or scan.problems:
        return scan
    if src.named:
        inputs.error(inputs.no_messages(src, data))
    return None


def typical_datetime(h: dict) -> str:
    return (f"{h['typical_year']:04d}-{h['typical_month']:02d}-{h['typical_day']:02d}T"
            f"{h['typical_hour']:02d}:{h['typical_minute']:02d}:{h['typical_second']:02d}")


# ---- centres -------------------------------------------------------------------------

_centres: dict[str, dict[int, str]] = {}


def centre_name(root: str | None, edition: int, centre: int) -> str:
    """The name of an originating centre from the common code table that
    ecCodes reads for the edition: C-11 (16-bit centres) from edition 4 on,
    C-1 (8-bit centres) before; "" when the root lacks it."""
    if root is None:
        return ""
    path = os.path.join(root, "common", "c-11.table" if edition >= 4 else "c-1.table")
    names = _centres.get(path)
    if names is None:
        names = _centres[path] = {}
        try:
            with open(path, encoding="utf-8", errors="replace") as f:
                for line in f:
                    # "98 ecmf European Centre for ...": number, abbreviation, name.
                    parts = line.split(None, 2)
                    if len(parts) == 3 and parts[0].isdigit():
                        names[int(parts[0])] = parts[2].strip()
        except OSError:
            pass
    return names.get(centre, "")


# ---- tables ----------------------------------------------------------------------


NONE, CODE_TABLE, FLAG_TABLE = 0, 1, 2


class Info:
    """What the tables say about one code."""

    __slots__ = ("code", "code6", "key", "name", "unit", "table", "width")

    def __init__(self, code: int, key: str, name: str, unit: str, table: int = NONE, width: int = 0) -> None:
        self.code = code
        self.code6 = f"{code:06d}"
        self.key = key
        self.name = name
        self.unit = unit
        self.table = table
        self.width = width


class TableEntry:
    """A TableSet and what was looked up in it. Given `code_tables` (a
    function of an element code giving its table as a dict, or None), the
    code and flag tables are read from there, one when first needed."""

    __slots__ = ("tables", "_info", "_meanings", "_code_tables", "_read")

    def __init__(self, tables: _korvane.TableSet, code_tables=None) -> None:
        self.tables = tables
        self._info: dict[int, Info] = {}
        self._meanings: dict[tuple[int, int], str | None] = {}
        self._read = code_tables
        self._code_tables: dict[int, dict | str | None] = {}

    def info(self, code: int) -> Info:
        i = self._info.get(code)
        if i is None:
            i = self._info[code] = self._lookup(code)
        return i

    def _lookup(self, code: int) -> Info:
        special = _items.special(code)
        if special is not None:
            return Info(code, *special, "")
        e = self.tables.get_element(code) if code < 100000 else None
        if e is None:
            return Info(code, f"{code:06d}", "", "")
        unit = e.unit
        upper = unit.upper()
        if e.element_type == "flag" or upper.startswith("FLAG TABLE"):
            table = FLAG_TABLE
        elif e.element_type in ("table", "code") or upper.startswith("CODE TABLE"):
            table = CODE_TABLE
        else:
            table = NONE
        return Info(code, e.abbreviation or key_from_name(e.name), e.name, unit, table, e.width)

    def _meaning(self, code: int, raw: int) -> str | None:
        if self._read is not None:
            try:
                table = self._code_tables[code]
            except KeyError:
                try:
                    table = self._read(code)
                except ValueError as e:
                    # A table that cannot be read fails the messages that need
                    # its meanings, each reported with the file and line.
                    table = getattr(e, "reason", str(e))
                self._code_tables[code] = table
            if isinstance(table, str):
                raise ValueError(table)
            return table.get(raw) if table is not None else None
        k = (code, raw)
        try:
            return self._meanings[k]
        except KeyError:
            m = self._meanings[k] = self.tables.get_meaning(code, raw)
            return m

    def meaning(self, info: Info, raw: int) -> str | list[str] | None:
        """A code table's meaning of `raw`; for a flag table, the meanings of
        the bits set, numbered as WMO does: bit 1 is the most significant of
        the element's width (the all-ones value means missing and is not
        looked up)."""
        if info.table == CODE_TABLE:
            return self._meaning(info.code, raw)
        if info.table == FLAG_TABLE:
            w = info.width
            out = []
            for bit in range(1, w + 1):
                if raw >> (w - bit) & 1:
                    m = self._meaning(info.code, bit)
                    out.append(f"{bit}: {m}" if m is not None else f"{bit}")
            return out
        return None


class Tables:
    """The tables the messages decode with: one set named by the options, or
    each message's own from a definitions root, each set loaded once."""

    def __init__(self, tables: str | None, wmo_csv: str | None, definitions: str | None) -> None:
        self.fixed: TableEntry | None = None
        self.root: str | None = None
        self._cache: dict[tuple, TableEntry | str] = {}
        try:
            if tables:
                self.fixed = TableEntry(_korvane.TableSet.from_eccodes(tables))
            elif wmo_csv:
                self.fixed = TableEntry(_korvane.TableSet.from_bufr4_45(wmo_csv))
        except ValueError as e:
            raise CliError(f"{tables or wmo_csv}: {e}") from None
        if self.fixed is None:
            self.root = definitions_root(definitions)

    def get(self, h: dict) -> TableEntry:
        """The tables of a message header; ValueError with the reason when they cannot be loaded."""
        if self.fixed is not None:
            return self.fixed
        key = (h["master_table_number"], h["master_tables_version_number"], h["local_tables_version_number"],
               h["originating_centre"], h["originating_subcentre"])
        entry = self._cache.get(key)
        if entry is None:
            try:
                # Code tables are read one by one as meanings are asked for:
                # loading all of them would take most of a short run's time.
                root = self.root
                assert root is not None  # no set named by the options: a definitions root
                with warnings.catch_warnings(record=True) as caught:
                    warnings.simplefilter("always")
                    tables = _tables.tables_for(root, *key, code_tables=False)
                for w in caught:
                    inputs.error(f"warning: {w.message}")
                entry = TableEntry(tables, lambda code: _tables.code_table(root, *key, code))
            except ValueError as e:
                entry = getattr(e, "reason", str(e))
            self._cache[key] = entry
        if isinstance(entry, str):
            raise ValueError(entry)
        return entry


# ---- decoded items -------------------------------------------------------------------

class Decoded:
    """The items of one decoded message, as memoryviews over the decoder's columns."""

    __slots__ = ("code", "kind", "missing", "value", "raw", "bounds", "_columns", "_texts")

    def __init__(self, data, h: dict, tables: TableEntry) -> None:
        c = self._columns = _columns.decode(data, h["offset"], h["total_length"], tables.tables)
        self.code = memoryview(c.buffer("code")).cast("I")
        self.kind = memoryview(c.buffer("kind")).cast("B")
        self.missing = memoryview(c.buffer("missing")).cast("B")
        self.value = memoryview(c.buffer("value")).cast("d")
        self.raw = memoryview(c.buffer("raw")).cast("Q")
        self.bounds = memoryview(c.buffer("subset_bounds")).cast("Q")
        self._texts: list[str] | None = None

    @property
    def subsets(self) -> int:
        return len(self.bounds) - 1

    @property
    def columns(self):
        """The decoder's Columns object."""
        return self._columns

    def texts(self) -> list[str]:
        if self._texts is None:
            self._texts = self._columns.texts()
        return self._texts

    def uniform(self) -> int | None:
        """The number of items per subset when every subset holds the same
        codes in the same order (always so in a compressed message), else None."""
        n = self.subsets
        if n == 0:
            return None
        per = self.bounds[1] - self.bounds[0]
        if per * n != len(self.code):
            return None
        code = self.code
        first = code[0:per]
        for s in range(1, n):
            if code[s * per : (s + 1) * per] != first:
                return None
        return per

    def column(self, j: int, per: int) -> list:
        """The values of item j of every subset of a uniform message (see item())."""
        k = self.kind[j]
        if k == OPERATOR:
            return [None] * self.subsets
        missing = self.missing[j::per].tolist()
        if k == CHARACTER or k == INSERTED_TEXT:
            texts = self.texts()
            return [None if m else texts[r] for m, r in zip(missing, self.raw[j::per].tolist())]
        values = self.value[j::per].tolist()
        if any(missing):
            return [None if m else v for m, v in zip(missing, values)]
        return values

    def item(self, i: int):
        """The value of item i: float, str, or None when missing or when the item has none (operators)."""
        k = self.kind[i]
        if self.missing[i] or k == OPERATOR:
            return None
        if k == CHARACTER or k == INSERTED_TEXT:
            return self.texts()[self.raw[i]]
        return self.value[i]


class Selector:
    """Items of a key or a six-digit code, all of them or the one of a rank
    within the subset ("#2#airTemperature"), as read_bufr names columns."""

    __slots__ = ("key", "code", "rank")

    def __init__(self, text: str) -> None:
        if text.startswith("#") and not (text[1:].partition("#")[0].isdigit() and text[1:].partition("#")[2]):
            raise CliError(f"invalid key {text!r}: a rank is written #N#key, N counting from 1")
        try:
            self.key, self.code, self.rank = _items.split_name(text)
        except ValueError:
            raise CliError(f"invalid key {text!r}: a rank is written #N#key, N counting from 1") from None


def selectors(text: str | None) -> list[Selector] | None:
    if text is None:
        return None
    out = [Selector(k.strip()) for k in text.split(",") if k.strip()]
    if not out:
        raise CliError("--keys names no key")
    return out


def chosen(d: Decoded, tables: TableEntry, begin: int, end: int, wanted: list[Selector] | None):
    """Items [begin, end) of a subset with their Info and rank of their key
    within the subset, those the selectors ask for (all when None)."""
    key_counts: dict[str, int] = {}
    code_counts: dict[int, int] = {}
    info = tables.info
    code = d.code
    for i in range(begin, end):
        inf = info(code[i])
        rank = key_counts[inf.key] = key_counts.get(inf.key, 0) + 1
        if wanted is not None:
            crank = code_counts[inf.code] = code_counts.get(inf.code, 0) + 1
            for s in wanted:
                if (s.key == inf.key and (s.rank == 0 or s.rank == rank)) or (
                        s.code == inf.code and (s.rank == 0 or s.rank == crank)):
                    break
            else:
                continue
        yield i, inf, rank


def number(x: float) -> int | float:
    """An integral value as int (printed without ".0"), others as they are."""
    return int(x) if x.is_integer() and -1e15 < x < 1e15 else x
