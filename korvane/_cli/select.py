"""What every command reading BUFR acts on: the messages that -m and -w choose,
and the values of keys that ls -p prints and copy names its outputs by.

Keys are those of korvane.read_bufr: header keys under their ecCodes names
(dataCategory, bufrHeaderCentre, ...) and korvane's own (edition,
data_category, originating_centre, typical_datetime), element keys, codes and
ranked keys, and the computed keys. The command adds a few header keys of
ecCodes' tools: typicalDate (YYYYMMDD), typicalTime (HHMMSS), offset,
totalLength and unexpandedDescriptors.

Header keys are decided from the headers the scan parsed, without decoding
and without NumPy. Data keys are decided by the engine under read_bufr: a
message is chosen when one of its rows, as convert and read_bufr make them,
passes every condition on data keys ("key!=..." conditions: when no row
passes "key=..."); its subsets are those of the rows that pass.
"""

from __future__ import annotations

from korvane._cli import inputs
from korvane.cli import CliError, UsageError

TYPE_CHECKING = False  # typing itself is not imported: it would add to the start-up
if TYPE_CHECKING:
    from typing import Any, Mapping

# ---- values given on the command line ---------------------------------------------------


def scalar(text: str):
    """A value: an integer, a number, else the text itself (a key's text
    value, or a date-time such as 2019-12-22T22:00)."""
    for kind in (int, float):
        try:
            return kind(text)
        except ValueError:
            pass
    return text


def spec(value: str):
    """VALUE, A,B (any of these) or LOW..HIGH (both ends included, either may
    be left out), as a read_bufr filter takes them: a value, a list or a slice."""
    if ".." in value:
        low, _, high = value.partition("..")
        return slice(scalar(low) if low else None, scalar(high) if high else None)
    if "," in value:
        return [scalar(v) for v in value.split(",")]
    return scalar(value)


def parse_filter(text: str, option: str = "--filter") -> tuple[str, object]:
    """KEY=VALUE, KEY=A,B or KEY=LOW..HIGH."""
    key, eq, value = text.partition("=")
    key = key.strip()
    if not eq or not key or not value:
        raise UsageError(f"{option} {text!r}: write KEY=VALUE, KEY=A,B or KEY=LOW..HIGH")
    return key, spec(value)


class Condition:
    """One condition of -w: key, the values it takes (a read_bufr filter), negated by "!="."""

    __slots__ = ("key", "spec", "negate")

    def __init__(self, key: str, spec, negate: bool) -> None:
        self.key, self.spec, self.negate = key, spec, negate


def assignments(text: str, option: str) -> list[tuple[str, str]]:
    """(KEY, VALUE) of each KEY=VALUE in one option's text, separated by
    commas: a part with "=" starts one, the parts after it without one are
    more of its value, commas and all (dataCategory=0,2,bufrHeaderCentre=98)."""
    groups: list[list[str]] = []
    for part in text.split(","):
        if "=" in part or not groups:
            groups.append([part])
        else:
            groups[-1].append(part)
    out = []
    for group in groups:
        key, eq, value = ",".join(group).partition("=")
        if not eq or not key.strip() or not value:
            raise UsageError(f"{option} {text!r}: write KEY=VALUE")
        out.append((key.strip(), value))
    return out


def parse_where(texts: list[str]) -> list[Condition]:
    """The conditions of -w options (several in one, separated by commas)."""
    out: list[Condition] = []
    for text in texts:
        for key, value in assignments(text, "-w"):
            negate = key.endswith("!")
            key = key[:-1].strip() if negate else key
            values = value.split(",")
            if not key or any(not v for v in values):
                raise UsageError(f"-w {text!r}: write KEY=VALUE, KEY=A,B, KEY=LOW..HIGH or KEY!=VALUE")
            if len(values) > 1 and any(".." in v for v in values):
                raise UsageError(f"-w {text!r}: a range LOW..HIGH stands alone, without other values")
            out.append(Condition(key, spec(value), negate))
    return out


def parse_messages(texts: list[str]) -> tuple[set[int], list[tuple[int, int | None]]]:
    """-m N[,M...|A..B]: message numbers counted from 0, and ranges with both
    ends included (A.. runs to the last message)."""
    numbers: set[int] = set()
    ranges: list[tuple[int, int | None]] = []
    for text in texts:
        for part in text.split(","):
            low, dots, high = part.strip().partition("..")
            try:
                if dots:
                    ranges.append((int(low) if low else 0, int(high) if high else None))
                else:
                    numbers.add(int(low))
            except ValueError:
                raise UsageError(f"-m {text!r}: give message numbers counted from 0, N, N,M or A..B") from None
            if int(low or 0) < 0 or (dots and high and int(high) < 0):
                raise UsageError(f"-m {text!r}: messages are counted from 0")
    return numbers, ranges


# ---- header keys ------------------------------------------------------------------------

_header_keys: dict | None = None


def header_keys() -> dict:
    """Each header key and a function of (header record, scan) giving its value."""
    global _header_keys
    if _header_keys is not None:
        return _header_keys
    from korvane import _names

    def field(name):
        return lambda h, scan: int(h[name])

    keys = {key: field(name) for key, name in _names.HEADER_KEYS.items()}
    # Edition 4 brought the international data sub-category.
    keys["internationalDataSubCategory"] = lambda h, scan: (
        h["international_data_subcategory"] if h["edition"] >= 4 else None)
    keys.update(
        data_category=field("data_category"),
        originating_centre=field("originating_centre"),
        typical_datetime=lambda h, scan: typical_datetime(h),
        typicalDate=lambda h, scan: _year(h) * 10000 + h["typical_month"] * 100 + h["typical_day"],
        typicalTime=lambda h, scan: h["typical_hour"] * 10000 + h["typical_minute"] * 100 + h["typical_second"],
        offset=field("offset"),
        totalLength=field("total_length"),
        unexpandedDescriptors=lambda h, scan: scan.descriptors(h),
    )
    _header_keys = keys
    return keys


def _year(h: dict) -> int:
    """The year of typicalDate: a year below 100, written by producers that
    took edition 4's year for one of the century, is taken as of the 21st
    century, as ecCodes takes it (so that files split by typicalDate are
    named as bufr_copy names them)."""
    year = h["typical_year"]
    return year + 2000 if year < 100 else year


def typical_datetime(h: dict) -> str:
    return (f"{h['typical_year']:04d}-{h['typical_month']:02d}-{h['typical_day']:02d}T"
            f"{h['typical_hour']:02d}:{h['typical_minute']:02d}:{h['typical_second']:02d}")


# Names read_bufr gives one value per file or subset, not per message.
_NOT_MESSAGE_KEYS = {"message_index": "choose messages by number with -m", "source": "name the files to read"}


def is_header_key(name: str) -> bool:
    return name in header_keys()


def _iso(text, option: str) -> str:
    from datetime import datetime

    if not isinstance(text, str):
        text = str(text)
    try:
        return datetime.fromisoformat(text).isoformat()
    except ValueError:
        raise UsageError(f"{option}: {text!r} is no date and time such as 2019-12-22T22:00") from None


def _header_spec(c: Condition):
    """A condition's values checked against the key's kind: numbers, or for
    typical_datetime date-times in the form that compares as the key's values."""
    option = f"-w {c.key}"
    values = [c.spec.start, c.spec.stop] if isinstance(c.spec, slice) else c.spec if isinstance(c.spec, list) \
        else [c.spec]
    if c.key == "typical_datetime":
        norm = [None if v is None else _iso(v, option) for v in values]
    else:
        for v in values:
            if v is not None and not isinstance(v, (int, float)):
                raise UsageError(f"{option}: {c.key} takes numbers, not {v!r}")
        norm = values
    if isinstance(c.spec, slice):
        return slice(norm[0], norm[1])
    return norm if isinstance(c.spec, list) else norm[0]


def matches(value, spec) -> bool:
    """Whether a header value passes a condition's values (a list value, such
    as the descriptors, when any of its entries does; None never)."""
    if value is None:
        return False
    if isinstance(value, list):
        return any(matches(v, spec) for v in value)
    if isinstance(spec, slice):
        return (spec.start is None or value >= spec.start) and (spec.stop is None or value <= spec.stop)
    if isinstance(spec, list):
        return value in spec
    return value == spec


# ---- values of keys as text -----------------------------------------------------------


def text(key: str, value, missing: str = "missing") -> str:
    """A key's value as ls -p prints it and copy names a file by it."""
    if value is None:
        return missing
    if key in ("typicalTime", "typicalDate"):
        return f"{value:0{6 if key == 'typicalTime' else 8}d}"
    if key == "unexpandedDescriptors":
        return " ".join(f"{c:06d}" for c in value)
    if isinstance(value, float):
        return str(int(value)) if value.is_integer() and -1e15 < value < 1e15 else repr(value)
    if isinstance(value, list):
        return "[" + ", ".join(text("", v) for v in value) + "]"
    return str(value)


def jsonable(value):
    if isinstance(value, float):
        if value - value != 0:  # NaN and infinities are no JSON numbers
            return None
        return int(value) if value.is_integer() and -1e15 < value < 1e15 else value
    if isinstance(value, list):
        return [jsonable(v) for v in value]
    return value


# ---- the engine under read_bufr ---------------------------------------------------------


class _Positions:
    """A filter on message_index keeping the positions of one file's chosen
    messages (read_bufr numbers a file's parsed messages from 0)."""

    def __init__(self) -> None:
        self.positions: Any = None  # an array of positions

    def __call__(self, values):
        import numpy as np

        return np.isin(values, self.positions)


class Engine:
    """Reads chosen messages of a file with read_bufr's engine, for one request."""

    def __init__(self, columns: list[str], filters: dict, definitions) -> None:
        from korvane import _names, frames

        self.frames = frames
        self.chosen = _Positions()
        try:
            self.plan = frames._Plan(["message_index", "subset", *columns],
                                     {**filters, "message_index": self.chosen}, False, False, definitions)
        except _names.UnknownKeyError as e:
            raise CliError(str(e)) from None
        except (KeyError, TypeError, ValueError) as e:
            raise UsageError(str(e)) from None
        self.columns = columns

    def rows(self, f, positions: list[int], failed: set[int]) -> Mapping[str, Any]:
        """The columns of the rows of these messages (positions in the file),
        as read_bufr makes them; each message that cannot be decoded is
        reported once, and its index added to `failed`."""
        import warnings

        import numpy as np

        self.chosen.positions = np.array(positions, dtype=np.int64)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            out, _ = self.frames._file_rows(f, self.plan, 0, {}, "warn", self.frames._threads(None))
        for w in caught:
            report(f, str(w.message), failed, isinstance(w.message, RuntimeWarning))
        return out


_told: set[str] = set()


def report(f, text: str, failed: set[int], damaged: bool) -> None:
    """A message the engine could not decode (its index noted in `failed`),
    or another of its warnings (a tables version read for another), each once."""
    if not damaged:
        if text not in _told:
            _told.add(text)
            inputs.error(f"warning: {text}")
        return
    prefix = f"{f.name}: message "
    index = int(text[len(prefix):].split(" ", 1)[0]) if text.startswith(prefix) else -1
    if index not in failed:
        failed.add(index)
        inputs.error(text)


def open_file(data, definitions, tables):
    """The BufrFile of a source's bytes (damaged frames are the caller's to report)."""
    from korvane.reader import BufrFile

    return BufrFile(data, definitions=definitions, tables=tables, errors="skip")


def value_of(chunk, missing, row: int):
    """The value of one row of an engine column (`missing`: its rows without
    a value) as a Python value, None when missing."""
    if missing[row]:
        return None
    v = chunk.values[row]
    if chunk.kind == "t":
        import numpy as np

        return str(np.datetime_as_string(v, unit="s"))
    return v.item() if hasattr(v, "item") else v


# ---- the selection ----------------------------------------------------------------------


class Selection:
    """The messages -m and -w choose, and the subsets of each that the
    conditions on data keys choose."""

    def __init__(self, args, definitions=None, tables=None) -> None:
        self.tables = tables
        self.numbers = parse_messages(getattr(args, "message", None) or [])
        self.by_number = bool(getattr(args, "message", None))
        self.header: list[tuple[str, object, bool]] = []
        positive: dict[str, object] = {}
        negative: list[Condition] = []
        for c in parse_where(getattr(args, "where", None) or []):
            if c.key in _NOT_MESSAGE_KEYS:
                raise UsageError(f"-w {c.key}: {_NOT_MESSAGE_KEYS[c.key]}")
            if is_header_key(c.key):
                self.header.append((c.key, _header_spec(c), c.negate))
            elif c.negate:
                negative.append(c)
            elif c.key in positive:
                raise UsageError(f"-w names {c.key} twice: give its values in one condition (KEY=A,B)")
            else:
                positive[c.key] = c.spec
        self.data = bool(positive or negative)
        self.failed = False
        # A definitions root given as a function is looked for only when data keys need tables.
        self.definitions = definitions() if callable(definitions) and self.data else definitions
        # Conditions on data keys, each side its own request: the rows that
        # pass all the positive ones, and per negated one the rows it refuses.
        self._positive = Engine([], positive, self.definitions) if positive else None
        self._negative = [Engine([], {c.key: c.spec}, self.definitions) for c in negative]

    def number_chosen(self, index: int) -> bool:
        """Whether -m leaves message `index` in (a damaged message is then reported)."""
        if not self.by_number:
            return True
        numbers, ranges = self.numbers
        return index in numbers or any(lo <= index and (hi is None or index <= hi) for lo, hi in ranges)

    def header_chosen(self, h: dict, scan) -> bool:
        if not self.header:
            return True
        keys = header_keys()
        for key, spec, negate in self.header:
            if matches(keys[key](h, scan), spec) == negate:
                return False
        return True

    def for_file(self, data, scan, file=None) -> dict[int, list[int] | None]:
        """Message index -> its chosen subsets (None: all of them, no data key
        being asked about), for the messages chosen in a scanned source.
        `file`: its BufrFile, when the caller has one."""
        positions = [p for p, h in enumerate(scan.headers)
                     if self.number_chosen(h["index"]) and self.header_chosen(h, scan)]
        if not self.data:
            return {scan.headers[p]["index"]: None for p in positions}
        if not positions:
            return {}
        f = file if file is not None else open_file(data, self.definitions, self.tables)
        failed: set[int] = set()
        chosen: dict[int, set[int]] = {}
        if self._positive is not None:
            out = self._positive.rows(f, positions, failed)
            for p, s in zip(out["message_index"].values.tolist(), out["subset"].values.tolist()):
                chosen.setdefault(p, set()).add(s)
        else:
            chosen = {p: set(range(scan.headers[p]["number_of_subsets"])) for p in positions}
        for engine in self._negative:
            out = engine.rows(f, positions, failed)
            for p, s in zip(out["message_index"].values.tolist(), out["subset"].values.tolist()):
                if p in chosen:
                    chosen[p].discard(s)
        if failed:
            self.failed = True
        result: dict[int, list[int] | None] = {}
        for p, subsets in chosen.items():
            index = scan.headers[p]["index"]
            if subsets and index not in failed:
                result[index] = sorted(subsets)
        return result


class Keys:
    """The values of keys per message: header keys from the scan, data keys
    from the first row read_bufr makes of the message (its first subset)."""

    def __init__(self, names: list[str], definitions=None, tables=None) -> None:
        self.names = names
        self.tables = tables
        headers = header_keys()
        for name in names:
            if name in _NOT_MESSAGE_KEYS or name == "subset":
                raise UsageError(f"{name} is no key of a message, which has one value of each key here")
        self.data = [n for n in dict.fromkeys(names) if n not in headers]
        self.definitions = definitions() if callable(definitions) and self.data else definitions
        self._engine = Engine(self.data, {}, self.definitions) if self.data else None
        self.failed = False

    def for_file(self, data, scan, indices, file=None) -> tuple[dict[int, dict], set[int]]:
        """{index: {key: value}} for the messages of these indices, and the
        indices of those that could not be decoded (reported)."""
        headers = header_keys()
        records = {h["index"]: (p, h) for p, h in enumerate(scan.headers)}
        wanted = [records[i] for i in indices if i in records]
        out = {h["index"]: {n: headers[n](h, scan) for n in self.names if n in headers} for _, h in wanted}
        failed: set[int] = set()
        if self._engine is None or not wanted:
            return out, failed
        f = file if file is not None else open_file(data, self.definitions, self.tables)
        columns = self._engine.rows(f, [p for p, _ in wanted], failed)
        firsts: dict[int, int] = {}
        for r, p in enumerate(columns["message_index"].values.tolist()):
            firsts.setdefault(p, r)
        missing = {name: columns[name].missing() for name in self.data}
        for p, h in wanted:
            first = firsts.get(p)
            for name in self.data:
                out[h["index"]][name] = None if first is None else value_of(columns[name], missing[name], first)
        if failed:
            self.failed = True
            for index in failed:
                out.pop(index, None)
        return out, failed
