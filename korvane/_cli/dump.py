"""korvane dump: the items of every subset, as lines or JSON."""

from __future__ import annotations

import sys

from korvane._cli import inputs
from korvane._cli.messages import Decoded, Scan, Tables, centre_name, chosen, number, selectors, typical_datetime
from korvane._items import CHARACTER, INSERTED_TEXT, OPERATOR
from korvane.cli import UsageError

_ESCAPES = {"\\": "\\\\", '"': '\\"', "\t": "\\t", "\n": "\\n", "\r": "\\r"}


def _quoted(text: str) -> str:
    """A text between double quotes, its quotes, backslashes and control characters escaped."""
    if text.isprintable() and '"' not in text and "\\" not in text:
        return f'"{text}"'
    return '"' + "".join(_ESCAPES.get(ch) or (ch if ch.isprintable() else f"\\u{ord(ch):04x}") for ch in text) + '"'


def _text(v) -> str:
    """A value as dump shows it: "missing", a quoted text, or a number (integers without ".0")."""
    if v is None:
        return "missing"
    if isinstance(v, str):
        return _quoted(v)
    return str(int(v)) if v.is_integer() and -1e15 < v < 1e15 else repr(v)


def _shown(d: Decoded, i: int) -> str:
    k = d.kind[i]
    if k == OPERATOR:
        return ""
    if d.missing[i]:
        return "missing"
    if k == CHARACTER or k == INSERTED_TEXT:
        return _quoted(d.texts()[d.raw[i]])
    x = d.value[i]
    return str(int(x)) if x.is_integer() and -1e15 < x < 1e15 else repr(x)


def _json_value(d: Decoded, i: int):
    return _jsonable(d.item(i))


def _jsonable(v):
    if isinstance(v, float):
        return number(v) if v - v == 0 else None  # NaN and infinities are no JSON numbers
    return v


def _meaning_text(m) -> str:
    if m is None:
        return ""
    if isinstance(m, list):
        return "\t" + "; ".join(m) if m else ""
    return "\t" + m


class Dumper:
    def __init__(self, args) -> None:
        if args.compact and not args.json:
            raise UsageError("--compact goes with --json")
        if args.subset is not None and args.subset < 1:
            raise UsageError(f"--subset counts from 1, not {args.subset}")
        self.args = args
        self.wanted = selectors(args.keys)
        self.tables = Tables(args.tables, args.wmo_csv, args.definitions)
        self.subsets_shown = 0
        if args.json:
            import json

            self.json = json

    def subsets(self, d: Decoded) -> list[int]:
        n = d.subsets
        s = self.args.subset
        if s is None:
            return list(range(n))
        return [s - 1] if s <= n else []

    def text(self, name: str, index: int, h: dict, d: Decoded, entry) -> str:
        root = self.tables.root
        centre = h["originating_centre"]
        cname = centre_name(root, h["edition"], centre)
        out = [f"# {name} message {index} at offset {h['offset']}: edition {h['edition']}, centre {centre}"
               f"{f' ({cname})' if cname else ''}, category {h['data_category']}, {typical_datetime(h)}, "
               f"{h['number_of_subsets']} subsets, {'compressed' if h['compressed_data'] else 'uncompressed'}\n"]
        chosen_subsets = self.subsets(d)
        heads = len(chosen_subsets) > 1 or self.args.subset is not None
        per = d.uniform() if self.args.subset is None and len(chosen_subsets) > 1 else None
        if per is not None:
            self._text_by_column(out, d, entry, per, heads)
            return "".join(out)
        bounds = d.bounds
        meaning = entry.meaning
        raw = d.raw
        missing = d.missing
        for s in chosen_subsets:
            if heads:
                out.append(f"## subset {s + 1}\n")
            for i, inf, _ in chosen(d, entry, bounds[s], bounds[s + 1], self.wanted):
                line = f"{inf.code6}\t{inf.key}\t{inf.name}\t{_shown(d, i)}\t{inf.unit}"
                if inf.table and not missing[i]:
                    line += _meaning_text(meaning(inf, raw[i]))
                out.append(line + "\n")
        return "".join(out)

    def _text_by_column(self, out: list, d: Decoded, entry, per: int, heads: bool) -> None:
        """The lines of a message whose subsets all hold the same items, made
        item by item across the subsets, each distinct value's line once."""
        columns = []
        n = d.subsets
        for j, inf, _ in chosen(d, entry, 0, per, self.wanted):
            head = f"{inf.code6}\t{inf.key}\t{inf.name}\t"
            tail = f"\t{inf.unit}"
            if d.kind[j] == OPERATOR:
                columns.append([f"{head}{tail}\n"] * n)
                continue
            values = d.column(j, per)
            if inf.table:
                keys = list(zip(values, d.raw[j::per].tolist()))
                lines = {k: f"{head}{_text(k[0])}{tail}"
                         f"{'' if k[0] is None else _meaning_text(entry.meaning(inf, k[1]))}\n" for k in set(keys)}
            else:
                keys = values
                lines = {v: f"{head}{_text(v)}{tail}\n" for v in set(values)}
            columns.append([lines[k] for k in keys])
        for s, row in enumerate(zip(*columns)):
            if heads:
                out.append(f"## subset {s + 1}\n")
            out.extend(row)

    def full(self, doc: dict, d: Decoded, entry) -> None:
        bounds = d.bounds
        subsets = []
        for s in self.subsets(d):
            items = []
            for i, inf, _ in chosen(d, entry, bounds[s], bounds[s + 1], self.wanted):
                item = {"code": inf.code, "key": inf.key, "name": inf.name, "value": _json_value(d, i),
                        "unit": inf.unit}
                if inf.table and not d.missing[i]:
                    item["meaning"] = entry.meaning(inf, d.raw[i])
                items.append(item)
            subsets.append(items)
        doc["subsets"] = subsets

    def compact(self, doc: dict, d: Decoded, entry) -> None:
        """One array per key across the subsets: a key occurring more than
        once in a subset is split by rank ("#2#key"), an array whose values
        are all equal is written as that one value."""
        per = d.uniform() if self.args.subset is None else None
        if per is not None:
            return self._compact_by_column(doc, d, entry, per)
        bounds = d.bounds
        chosen_subsets = self.subsets(d)
        n = len(chosen_subsets)
        columns: dict[tuple[str, int], list] = {}
        elements: dict[str, dict] = {}
        ranks: dict[str, int] = {}
        for j, s in enumerate(chosen_subsets):
            for i, inf, rank in chosen(d, entry, bounds[s], bounds[s + 1], self.wanted):
                if d.kind[i] == OPERATOR:
                    continue
                col = columns.get((inf.key, rank))
                if col is None:
                    col = columns[(inf.key, rank)] = [None] * n
                    if rank > ranks.get(inf.key, 0):
                        ranks[inf.key] = rank
                    if inf.key not in elements:
                        elements[inf.key] = {"code": inf.code, "unit": inf.unit}
                col[j] = _json_value(d, i)
        values = {}
        for (key, rank), col in columns.items():
            name = key if ranks[key] == 1 else f"#{rank}#{key}"
            first = col[0] if col else None
            values[name] = first if all(v == first for v in col) else col
        doc["values"] = values
        doc["elements"] = elements

    def _compact_by_column(self, doc: dict, d: Decoded, entry, per: int) -> None:
        picked = [(j, inf, rank) for j, inf, rank in chosen(d, entry, 0, per, self.wanted) if d.kind[j] != OPERATOR]
        top: dict[str, int] = {}
        for _, inf, rank in picked:
            top[inf.key] = max(top.get(inf.key, 0), rank)
        values = {}
        elements: dict[str, dict] = {}
        for j, inf, rank in picked:
            col = d.column(j, per)
            first = col[0]
            if col.count(first) == len(col):
                value = _jsonable(first)
            else:
                value = [_jsonable(v) for v in col]
            values[inf.key if top[inf.key] == 1 else f"#{rank}#{inf.key}"] = value
            if inf.key not in elements:
                elements[inf.key] = {"code": inf.code, "unit": inf.unit}
        doc["values"] = values
        doc["elements"] = elements

    def message(self, name: str, index: int, scan: Scan, h: dict, d: Decoded, entry) -> str:
        if self.args.subset is not None and self.args.subset > d.subsets:
            return ""
        self.subsets_shown += 1
        if not self.args.json:
            return self.text(name, index, h, d, entry)
        doc = {"file": name, "message": index, "offset": h["offset"], "header": scan.header(h)}
        if self.args.subset is not None:
            doc["subset"] = self.args.subset
        (self.compact if self.args.compact else self.full)(doc, d, entry)
        return self.json.dumps(doc, ensure_ascii=False, separators=(",", ":")) + "\n"


def run(args) -> int:
    dumper = Dumper(args)
    sources = inputs.sources(args.files, args.max_size)
    write = sys.stdout.write
    status = 0
    failed: list = []
    for src, data in inputs.readable(inputs.progress(sources), failed):
        try:
            scan = Scan(data.view)
            if not scan.headers and not scan.problems:
                if src.named:
                    inputs.error(inputs.no_messages(src, data))
                    status = 1
                continue
            for index, h, problem in scan.entries():
                if problem is not None:
                    _, offset, _, _, text = problem
                else:
                    offset = h["offset"]
                    try:
                        entry = dumper.tables.get(h)
                        d = Decoded(data.view, h, entry)
                        shown = dumper.message(src.name, index, scan, h, d, entry)
                    except ValueError as e:
                        text = getattr(e, "reason", str(e))
                    else:
                        write(shown)
                        continue
                inputs.error(f"{src.name}: message {index} at offset {offset}: {text}")
                status = 1
        finally:
            inputs.release(data)
    if failed:
        status = 1
    if args.subset is not None and dumper.subsets_shown == 0 and status == 0:
        inputs.error(f"no message has a subset {args.subset}")
        status = 1
    return status
