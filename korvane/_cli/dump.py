"""korvane dump: the items of every subset, as lines or JSON."""

from __future__ import annotations

import sys
from array import array

from korvane import _columns
from korvane._cli import inputs
from korvane._cli.messages import (Decoded, Scan, Tables, centre_name, chosen, number, scan_of, selectors,
                                   typical_datetime)
from korvane._items import OPERATOR
from korvane.cli import UsageError, definitions_root

TYPE_CHECKING = False  # typing itself is not imported: it would add to the start-up
if TYPE_CHECKING:
    from typing import Callable

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

    def text(self, name: str, index: int, h: dict, d: Decoded, entry) -> bytes:
        root = self.tables.root
        centre = h["originating_centre"]
        cname = centre_name(root, h["edition"], centre)
        out = [f"# {name} message {index} at offset {h['offset']}: edition {h['edition']}, centre {centre}"
               f"{f' ({cname})' if cname else ''}, category {h['data_category']}, {typical_datetime(h)}, "
               f"{h['number_of_subsets']} subsets, {'compressed' if h['compressed_data'] else 'uncompressed'}\n"]
        chosen_subsets = self.subsets(d)
        heads = len(chosen_subsets) > 1 or self.args.subset is not None
        per = d.uniform() if self.args.subset is None and len(chosen_subsets) > 1 else None
        # The lines are made in the core, from a piece per code: what comes
        # before and after the value, and its table's meanings.
        pieces: list[tuple[str, str, Callable[[int], str] | None]] = []
        piece_of: dict[int, int] = {}

        def piece(inf) -> int:
            k = piece_of.get(inf.code)
            if k is None:
                meaning = (lambda raw: _meaning_text(entry.meaning(inf, raw))) if inf.table else None
                k = piece_of[inf.code] = len(pieces)
                pieces.append((f"{inf.code6}\t{inf.key}\t{inf.name}\t", f"\t{inf.unit}", meaning))
            return k

        positions, pieces_of, offsets = array("Q"), array("I"), array("Q", [0])
        if per is not None:
            # Every subset holds the same items: those of the first are chosen.
            for j, inf, _ in chosen(d, entry, 0, per, self.wanted):
                positions.append(j)
                pieces_of.append(piece(inf))
        else:
            bounds = d.bounds
            for s in chosen_subsets:
                for i, inf, _ in chosen(d, entry, bounds[s], bounds[s + 1], self.wanted):
                    positions.append(i)
                    pieces_of.append(piece(inf))
                offsets.append(len(positions))
        head = "".join(out).encode("utf-8", "surrogateescape")
        if per is not None and not positions:
            return head  # no item of any subset is asked for
        texts = [_quoted(t) for t in d.texts()]
        return head + _columns.dump_lines(d.columns, array("Q", chosen_subsets), per or 0, positions, offsets,
                                          pieces_of, pieces, texts, heads)

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

    def message(self, name: str, index: int, scan: Scan, h: dict, d: Decoded, entry) -> str | bytes:
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


def _writer():
    """A function that writes str or UTF-8 bytes to stdout: bytes straight to
    its buffer when it writes UTF-8 itself."""
    out = sys.stdout
    buffer = getattr(out, "buffer", None)
    utf8 = buffer is not None and (out.encoding or "").lower().replace("-", "").replace("_", "") == "utf8"

    def write(x: str | bytes) -> None:
        if isinstance(x, str):
            out.write(x)
        elif utf8 and buffer is not None:
            out.flush()
            buffer.write(x)
        else:
            out.write(x.decode("utf-8", "surrogateescape"))

    return write


def run(args) -> int:
    dumper = Dumper(args)
    selection = None
    if args.where or args.message:
        from korvane._cli.select import Selection

        fixed = dumper.tables.fixed
        selection = Selection(args, lambda: dumper.tables.root or definitions_root(args.definitions),
                              fixed.tables if fixed is not None else None)
    sources = inputs.sources(args.files, args.max_size)
    write = _writer()
    status = 0
    failed: list = []
    for src, data in inputs.readable(inputs.progress(sources), failed):
        try:
            scan = scan_of(src, data)
            if scan is None:
                status |= src.named
                continue
            chosen = None
            if selection is not None:
                chosen = selection.for_file(data, scan)
                if selection.failed:
                    status = 1
            for index, h, problem in scan.entries():
                if problem is not None:
                    if selection is not None and not selection.number_chosen(index):
                        continue
                    _, offset, _, _, text = problem
                elif chosen is not None and index not in chosen:
                    continue
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
