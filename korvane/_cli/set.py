"""korvane set: keys of messages set, as bufr_set -s does. Header keys are
written into section 1 alone, so that the other sections keep their bytes;
data keys, and the header fields that section 1 does not hold, through the
encoder."""

from __future__ import annotations

from korvane._cli import inputs
from korvane._cli.messages import _records, scan_of
from korvane._cli.output import Outputs
from korvane._cli.select import Selection, assignments, header_keys, open_file
from korvane.cli import CliError, UsageError, definitions_root

# Header fields of section 3, which the encoder writes.
ENCODED = ("edition", "observed_data", "compressed_data")
# Keys that name several fields at once.
_DATE = ("typical_year", "typical_month", "typical_day")
_TIME = ("typical_hour", "typical_minute", "typical_second")
_NOT_SET = {
    "numberOfSubsets": "copy --subsets chooses subsets",
    "offset": "it is where the message lies in its file",
    "totalLength": "it follows from the message's contents",
    "unexpandedDescriptors": "the descriptors cannot be changed",
}


def _header_field(key: str) -> str | None:
    from korvane import _names

    field = _names.HEADER_KEYS.get(key)
    if field is None and key in ("data_category", "originating_centre"):
        field = key
    return field


def _integer(key: str, value: str) -> int:
    try:
        n = int(value)
    except ValueError:
        raise UsageError(f"-s {key}={value}: {key} takes an integer") from None
    if n < 0:
        raise UsageError(f"-s {key}={value}: {key} takes an integer from 0")
    return n


def header_fields(key: str, value: str) -> dict[str, int] | None:
    """The header fields (as korvane.encode names them) that setting a header
    key gives, or None for a key that is no header key."""
    if key in _NOT_SET:
        raise UsageError(f"-s {key}: cannot be set: {_NOT_SET[key]}")
    if key == "typicalDate":
        n = _integer(key, value)
        if len(value) != 8:
            raise UsageError(f"-s {key}={value}: write the date as YYYYMMDD")
        return dict(zip(_DATE, (n // 10000, n // 100 % 100, n % 100)))
    if key == "typicalTime":
        n = _integer(key, value)
        if len(value) > 6:
            raise UsageError(f"-s {key}={value}: write the time as HHMMSS")
        return dict(zip(_TIME, (n // 10000, n // 100 % 100, n % 100)))
    if key == "typical_datetime":
        from datetime import datetime

        try:
            t = datetime.fromisoformat(value)
        except ValueError:
            raise UsageError(f"-s {key}={value}: write a date and time such as 2019-12-22T22:00") from None
        return dict(zip(_DATE + _TIME, (t.year, t.month, t.day, t.hour, t.minute, t.second)))
    field = _header_field(key)
    if field is None:
        return None
    return {field: _integer(key, value)}


class _Change:
    """What -s asks: header fields, and values of data keys."""

    def __init__(self, texts: list[str], definitions) -> None:
        self.fields: dict[str, int] = {}
        self.asked: dict[str, str] = {}  # field -> the key that set it
        self.data: list[tuple[str, tuple, str]] = []  # (key, (key, code, rank), value)
        from korvane import _items, _names

        for text in texts:
            for key, value in assignments(text, "-s"):
                fields = header_fields(key, value)
                if fields is not None:
                    self.fields.update(fields)
                    self.asked.update(dict.fromkeys(fields, key))
                    continue
                if key in header_keys() or key in _names.MESSAGE_LEVEL or key in _names.COMPUTED:
                    raise UsageError(f"-s {key}: cannot be set (set the keys it is made from)")
                try:
                    selector = _items.split_name(key)
                    _names.check([key], definitions())
                except ValueError as e:
                    raise UsageError(f"-s {key}: {e}") from None
                except _names.UnknownKeyError as e:
                    raise CliError(str(e)) from None
                self.data.append((key, selector, value))
        if not self.fields and not self.data:
            raise UsageError("set: give the keys to set with -s KEY=VALUE")
        self.encoded = bool(self.data) or any(f in ENCODED for f in self.fields)

    def apply(self, h: dict, old, message=None) -> bytes:
        """The message of header record `h` and bytes `old` with the keys set
        (`message`: its Message, for the encoder); ValueError naming what
        cannot be set."""
        from korvane import _columns

        if not self.encoded:
            # Section 1 written again: its identification fields, as long as
            # the writer makes them for the edition, then the octets after
            # them as they were.
            try:
                fields = len(_columns.section1(h))
                new = _columns.section1({**h, **self.fields}, section2=h["local_section_present"],
                                        section1_local=old[8 + fields : 8 + h["section1_length"]])
            except ValueError as e:
                raise ValueError(f"{', '.join(dict.fromkeys(self.asked.values()))}: {e}") from None
            if len(new) != h["section1_length"]:
                raise ValueError(f"section 1 would be {len(new)} octets long, not {h['section1_length']}")
            out = bytes(old[:8]) + new + bytes(old[8 + h["section1_length"]:])
        else:
            values = message.decode() if self.data else None
            for key, selector, value in self.data:
                values = _set_items(values, key, selector, value)
            header = {k: v for k, v in self.fields.items() if k != "compressed_data"}
            compressed = bool(self.fields["compressed_data"]) if "compressed_data" in self.fields else None
            try:
                out = message.encode(values, compressed=compressed, **header)
            except ValueError as e:
                keys = ", ".join(dict.fromkeys([*self.asked.values(), *(k for k, _, _ in self.data)]))
                raise ValueError(f"{keys}: {e}") from None
        self._check(out)
        return out

    def _check(self, out: bytes) -> None:
        """Every header field set reads back as set (an edition that has no
        such field, or a year that is not of its century, does not)."""
        from korvane import _columns

        headers, _, problems = _columns.scan(out)
        if problems:
            raise ValueError(problems[0][4])
        h = _records(headers)[0]
        for field, want in self.fields.items():
            got = int(h[field])
            if got == want:
                continue
            # A field whose value leaves section 1 as it is has no octets in this edition.
            try:
                absent = _columns.section1(h) == _columns.section1({**h, field: got ^ 1})
            except ValueError:
                absent = False
            raise ValueError(f"{self.asked[field]}: {want} cannot be written in edition {h['edition']}: "
                             + ("the edition has no such field" if absent else f"it reads back as {got}"))


def _set_items(values, key: str, selector: tuple, value: str):
    """Values with every item of a key (or of its rank in each subset) set."""
    import numpy as np

    from korvane._items import CHARACTER, INSERTED_TEXT

    name, code, rank = selector
    if code is not None:
        hit = values.code == code
    else:
        codes = np.unique(values.code)
        mine = [c for c in codes.tolist() if values.key(c) == name]
        hit = np.isin(values.code, mine)
    chosen = np.flatnonzero(hit)
    if rank:
        subsets = values.subset[chosen]
        ranks = np.arange(len(chosen)) - np.searchsorted(subsets, subsets) + 1
        chosen = chosen[ranks == rank]
    if not len(chosen):
        raise ValueError(f"{key}: the message has no such item")
    kind = values.kind[chosen]
    texts = (kind == CHARACTER) | (kind == INSERTED_TEXT)
    new: list
    if value.lower() == "missing":
        new = [None] * len(chosen)
    elif texts.all():
        new = [value] * len(chosen)
    elif texts.any():
        raise ValueError(f"{key}: the key names texts and numbers")
    else:
        try:
            new = [float(value)] * len(chosen)
        except ValueError:
            raise ValueError(f"{key}: takes a number (or missing), not {value!r}") from None
    return values.replace(chosen, new)


def run(args) -> int:
    def root():
        return definitions_root(args.definitions)

    change = _Change(args.set, root)
    selection = Selection(args, root)
    definitions = root() if change.encoded or selection.data else None
    sources = inputs.sources(args.files, args.max_size)
    failed: list = []
    status = 0
    with Outputs() as outputs:
        out = outputs.get(args.output)
        for src, data in inputs.readable(inputs.progress(sources, stdout_used=args.output == "-"), failed):
            try:
                scan = scan_of(src, data)
                if scan is None:
                    status |= src.named
                    continue
                # Messages are read as a BufrFile (NumPy) only when they are decoded.
                file = open_file(data, definitions, None) if change.encoded or selection.data else None
                chosen = selection.for_file(data, scan, file)
                positions = {h["index"]: p for p, h in enumerate(scan.headers)}
                if selection.failed:
                    status = 1
                for index, h, problem in scan.entries():
                    if problem is not None:
                        _, offset, _, _, reason = problem
                        inputs.error(f"{src.name}: message {index} at offset {offset}: {reason}")
                        status = 1
                        continue
                    start = h["offset"]
                    if index not in chosen:
                        out.write(data.view[start : start + h["total_length"]])
                        continue
                    try:
                        old = data.view[start : start + h["total_length"]]
                        out.write(change.apply(h, old, file[positions[index]] if file is not None else None))
                    except ValueError as e:
                        text = getattr(e, "reason", str(e))
                        raise CliError(f"{src.name}: message {index} at offset {start}: cannot set {text}; "
                                       "nothing written") from None
            finally:
                inputs.release(data)
    return 1 if failed else status
