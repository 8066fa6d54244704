"""korvane compare: two files, message by message and item by item.

Messages are paired in order (those that -m and -w choose, in each file).
Each pair's header fields and descriptors are compared, then its subsets.
Where two subsets hold the same descriptors item for item, the items are
compared by position; where they do not (other replication counts), by key
and rank within the subset, an item of one that the other lacks being a
difference of codes. A difference is one line:

    message 0 subset 2 #1#airTemperature: 282.98 != 283.15

and the numbers of differences of each kind end the output.
"""

from __future__ import annotations

import sys
from typing import Any

from korvane._cli import inputs
from korvane._cli.dump import _text as dump_text
from korvane._cli.messages import Tables, scan_of
from korvane._cli.select import Selection, header_keys, open_file, scalar
from korvane.cli import UsageError

KINDS = ("values", "missing", "texts", "codes", "header")


def _shown(value) -> str:
    """A value as dump shows it; a header's descriptors as their codes."""
    if isinstance(value, list):
        return " ".join(f"{c:06d}" for c in value)
    if isinstance(value, int):
        return str(value)
    return dump_text(value)


def tolerances(texts: list[str]) -> tuple[float, dict[str, float]]:
    """--tolerance X (every value) and KEY=X (the values of one key)."""
    default, by_key = 0.0, {}
    for text in texts:
        key, eq, value = text.rpartition("=")
        x = scalar(value)
        if isinstance(x, str) or x < 0 or (eq and not key):
            raise UsageError(f"--tolerance {text!r}: give a number from 0, or KEY=X")
        if eq:
            by_key[key] = float(x)
        else:
            default = float(x)
    return default, by_key


class _Side:
    """One file: its bytes, scan, BufrFile and the messages chosen, in order."""

    def __init__(self, name: str, src, data, scan, selection) -> None:
        self.name, self.src, self.data = name, src, data
        self.scan = scan
        self.file = open_file(data, selection.definitions, selection.tables)
        chosen = selection.for_file(data, self.scan, self.file)
        self.positions = {h["index"]: p for p, h in enumerate(self.scan.headers)}
        # (index, header or None, damage or None) of each message compared.
        self.entries = [(i, h, p) for i, h, p in self.scan.entries()
                        if (p is not None and selection.number_chosen(i)) or (h is not None and i in chosen)]


class Comparison:
    def __init__(self, args, write) -> None:
        self.default, self.by_key = tolerances(args.tolerance)
        self.brief = args.brief
        self.write = write
        self.counts = dict.fromkeys(KINDS, 0)
        self.messages = 0
        self.differ = 0
        self.only = {"A": 0, "B": 0}
        self.trouble = False

    def line(self, kind: str, text: str) -> None:
        self.counts[kind] += 1
        if not self.brief:
            self.write(text + "\n")

    def pair(self, a: _Side, ia, ha, b: _Side, ib, hb) -> None:
        """Compares message ia of A with message ib of B (named by A's number,
        and by both when they differ)."""
        before = sum(self.counts.values())
        self.messages += 1
        self._pair(a, ia, ha, b, ib, hb)
        if sum(self.counts.values()) > before:
            self.differ += 1

    def _pair(self, a: _Side, ia, ha, b: _Side, ib, hb) -> None:
        import numpy as np

        from korvane.errors import DecodeError

        message_a, message_b = a.file[a.positions[ia]], b.file[b.positions[ib]]
        if message_a.bytes == message_b.bytes:
            # The same bytes, read with the same tables (the options name them
            # for both files): the same header and items, not decoded.
            return
        name = f"message {ia}" if ia == ib else f"message {ia} (B: {ib})"
        keys = header_keys()
        from korvane import _names

        for key in [*_names.HEADER_KEYS, "unexpandedDescriptors"]:
            va, vb = keys[key](ha, a.scan), keys[key](hb, b.scan)
            if va != vb:
                self.line("header", f"{name} {key}: {_shown(va)} != {_shown(vb)}")
        try:
            values_a = message_a.decode()
            values_b = message_b.decode()
        except DecodeError as e:
            inputs.error(str(e))
            self.trouble = True
            return
        n = min(values_a.number_of_subsets, values_b.number_of_subsets)
        items_a, items_b = _Items(values_a), _Items(values_b)
        same = (values_a.number_of_subsets == values_b.number_of_subsets and len(values_a) == len(values_b)
                and np.array_equal(values_a.code, values_b.code)
                and np.array_equal(values_a.subset_bounds, values_b.subset_bounds))
        if same:
            self._positional(name, items_a, items_b, np.arange(len(values_a)))
        else:
            for s in range(n):
                a0, a1 = values_a.subset_bounds[s : s + 2]
                b0, b1 = values_b.subset_bounds[s : s + 2]
                if a1 - a0 == b1 - b0 and np.array_equal(values_a.code[a0:a1], values_b.code[b0:b1]):
                    self._positional(name, items_a, items_b, np.arange(a0, a1), b0 - a0)
                else:
                    self._keyed(name, s, items_a, items_b, range(a0, a1), range(b0, b1))
            for side, values in (("A", values_a), ("B", values_b)):
                for s in range(n, values.number_of_subsets):
                    self.line("codes", f"{name} subset {s + 1}: only in {side}")

    def _tolerance(self, key: str) -> float:
        return self.by_key.get(key, self.default)

    def _positional(self, name: str, a: _Items, b: _Items, ia, shift: int = 0) -> None:
        """Items ia of A against items ia + shift of B, which hold the same codes."""
        import numpy as np

        from korvane._items import CHARACTER, INSERTED_TEXT, OPERATOR

        ib = ia + shift
        kind = a.values.kind[ia]
        miss_a, miss_b = a.values.missing[ia], b.values.missing[ib]
        text = (kind == CHARACTER) | (kind == INSERTED_TEXT)
        number = ~text & (kind != OPERATOR)
        missing = (miss_a != miss_b) & (kind != OPERATOR)
        both = ~miss_a & ~miss_b
        with np.errstate(invalid="ignore"):
            delta = np.abs(a.values.value[ia] - b.values.value[ib])
        tolerance = np.full(len(ia), self.default)
        if self.by_key:
            for key, x in self.by_key.items():
                tolerance[a.key_is(ia, key)] = x
        value = number & both & ~(delta <= tolerance)
        texts = np.zeros(len(ia), dtype=bool)
        t = np.flatnonzero(text & both)
        if len(t):
            texts[t] = a.values.text[ia[t]] != b.values.text[ib[t]]
        for j in np.flatnonzero(missing | value | texts).tolist():
            i = int(ia[j])
            where = f"{name} subset {a.subset(i) + 1} {a.ranked(i)}"
            va, vb = a.value(i), b.value(i + shift)
            self.line("missing" if missing[j] else "texts" if texts[j] else "values",
                      f"{where}: {_shown(va)} != {_shown(vb)}")

    def _keyed(self, name: str, s: int, a: _Items, b: _Items, range_a, range_b) -> None:
        """A subset of A against one of B with other items: by key and rank."""
        by_a = {a.ranked(i): i for i in range_a}
        by_b = {b.ranked(i): i for i in range_b}
        head = f"{name} subset {s + 1}"
        for ranked, i in by_a.items():
            j = by_b.get(ranked)
            if j is None:
                self.line("codes", f"{head} {ranked}: only in A")
                continue
            ca, cb = int(a.values.code[i]), int(b.values.code[j])
            if ca != cb:
                self.line("codes", f"{head} {ranked}: code {ca:06d} != {cb:06d}")
                continue
            va, vb = a.value(i), b.value(j)
            if va is None and vb is None or va == vb:
                continue
            if (va is None) != (vb is None):
                self.line("missing", f"{head} {ranked}: {_shown(va)} != {_shown(vb)}")
            elif isinstance(va, str) or isinstance(vb, str):
                self.line("texts", f"{head} {ranked}: {_shown(va)} != {_shown(vb)}")
            elif not abs(va - vb) <= self._tolerance(a.key(i)):
                self.line("values", f"{head} {ranked}: {_shown(va)} != {_shown(vb)}")
        for ranked in by_b:
            if ranked not in by_a:
                self.line("codes", f"{head} {ranked}: only in B")

    def summary(self) -> str:
        c = self.counts
        total = sum(c.values())
        text = (f"# {self.messages} message{'' if self.messages == 1 else 's'} compared, {self.differ} "
                f"differ{'s' if self.differ == 1 else ''}: {total} difference{'' if total == 1 else 's'} ("
                + ", ".join(f"{k} {c[k]}" for k in KINDS) + ")")
        for side in ("A", "B"):
            if self.only[side]:
                n = self.only[side]
                text += f"; {n} message{'' if n == 1 else 's'} only in {side}"
        return text + "\n"


class _Items:
    """The items of a decoded message, with the key and rank of each (its
    rank among the items of its key in its subset), worked out when a
    difference is to be named."""

    def __init__(self, values) -> None:
        self.values = values
        self._key_id: Any = None  # arrays, made when first needed
        self._rank: Any = None

    def _keys(self):
        if self._key_id is None:
            import numpy as np

            values = self.values
            codes, inverse = np.unique(values.code, return_inverse=True)
            names = [values.key(int(c)) for c in codes.tolist()]
            order = {k: n for n, k in enumerate(dict.fromkeys(names))}
            self.names = list(order)
            self._key_id = np.array([order[k] for k in names], dtype=np.int64)[inverse.reshape(-1)]
        return self._key_id

    def key(self, i: int) -> str:
        return self.names[self._keys()[i]]

    def key_is(self, ia, key: str):
        import numpy as np

        key_id = self._keys()
        if key not in self.names:
            return np.zeros(len(ia), dtype=bool)
        return key_id[ia] == self.names.index(key)

    def ranked(self, i: int) -> str:
        if self._rank is None:
            import numpy as np

            key_id = self._keys()
            group = self.values.subset * len(self.names) + key_id
            sort = np.lexsort((np.arange(len(group)), group))
            sorted_group = group[sort]
            rank = np.empty(len(group), dtype=np.int64)
            rank[sort] = np.arange(len(group)) - np.searchsorted(sorted_group, sorted_group) + 1
            self._rank = rank
        return f"#{self._rank[i]}#{self.key(i)}"

    def subset(self, i: int) -> int:
        return int(self.values.subset[i])

    def value(self, i: int):
        from korvane._items import CHARACTER, INSERTED_TEXT, OPERATOR

        v = self.values
        kind = v.kind[i]
        if kind == OPERATOR or v.missing[i]:
            return None
        if kind == CHARACTER or kind == INSERTED_TEXT:
            return v.text[i]
        return float(v.value[i])


def _side(argument: str, label: str, size, selection):
    sources = inputs.sources([argument], size)
    if len(sources) != 1:
        raise UsageError(f"compare: {argument} names {len(sources)} files; compare takes one file for each of A and B")
    failed: list = []
    for src, data in inputs.readable(sources, failed):
        if failed:
            data.release()
            return None
        scan = scan_of(src, data)
        if scan is None:
            if not src.named:  # a directory's one file: scan_of said nothing
                inputs.error(inputs.no_messages(src, data))
            return None
        return _Side(label, src, data, scan, selection)
    return None


def run(args) -> int:
    if args.first == "-" and args.second == "-":
        raise UsageError("compare: only one of A and B can be standard input")
    tables = Tables(args.tables, args.wmo_csv, args.definitions)
    fixed = tables.fixed.tables if tables.fixed is not None else None
    selection = Selection(args, tables.root, fixed)
    a = _side(args.first, "A", args.max_size, selection)
    b = _side(args.second, "B", args.max_size, selection) if a is not None else None
    if a is None or b is None:
        return 2
    write = sys.stdout.write
    comparison = Comparison(args, write)
    for (ia, ha, pa), (ib, hb, pb) in zip(a.entries, b.entries):
        if pa is not None or pb is not None:
            for side, index, problem in (("A", ia, pa), ("B", ib, pb)):
                if problem is not None:
                    _, offset, _, _, reason = problem
                    name = (a if side == "A" else b).src.name
                    inputs.error(f"{name}: message {index} at offset {offset}: {reason}")
            comparison.trouble = True
            continue
        comparison.pair(a, ia, ha, b, ib, hb)
    for side, mine, other in (("A", a, b), ("B", b, a)):
        for index, _, _ in mine.entries[len(other.entries):]:
            comparison.only[side] += 1
            if not args.brief:
                write(f"message {index}: only in {side}\n")
    if selection.failed:
        comparison.trouble = True
    differ = sum(comparison.counts.values()) or comparison.only["A"] or comparison.only["B"]
    if differ:
        write(comparison.summary())
    a.data.release()
    b.data.release()
    return 2 if comparison.trouble else 1 if differ else 0
