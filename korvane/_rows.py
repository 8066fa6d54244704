"""Rows of a table from one message's items, with NumPy only.

The rule is the walk that korvane.frames states (steps 2 to 4); here it is
computed on the matched items of a whole message at once:

* `replications` drops the occurrences of groups that the one-bit factor
  0 31 000 includes: their items belong to the level around them;
* `holders` gives each matched item the item range [begin, end) of the
  innermost remaining occurrence holding it (the subset's range outside
  replications), and whether one holds it;
* `first_outside` keeps, outside replications, only the first matched item
  of each selector in its subset;
* `Rows` walks the rest. It keeps the current observation, one item per
  selector: an item outside the holder of the item before it (its occurrence
  ended) first drops the items of every occurrence that ended; an item whose
  selector the observation already holds drops that earlier item and
  everything read after it; whenever items are dropped, the observation as it
  was is a row, and the last observation of a subset is a row too. A subset in
  which no selector has two items is a single row.

The walk's state at any point is a function of a few per-item arrays (the
previous item of the same selector, the item range of the innermost occurrence
holding each item), so no Python loop runs per item or per row.
"""

from __future__ import annotations

import numpy as np


def replications(groups, code: np.ndarray) -> dict[str, np.ndarray] | None:
    """The occurrences that repeat something: all but those of a group
    replicated by the short delayed factor 0 31 000. That factor is one bit,
    the group is there or not: an optional part of the level it is in, whose
    items count as that level's. Such an occurrence is the only one of its
    replication in its parent and follows its factor item directly; its
    children are re-parented to its own parent."""
    if groups is None or len(groups["begin"]) == 0:
        return groups
    begin = np.asarray(groups["begin"], dtype=np.int64)
    parent = np.asarray(groups["parent"], dtype=np.int64)
    node = np.asarray(groups["node"], dtype=np.int64) if "node" in groups else None
    before = np.where(begin > 0, begin - 1, 0)
    optional = (begin > 0) & (code[before] == 31000)
    if node is not None and optional.any():
        # Only the single occurrence of its replication within its parent.
        subset = np.asarray(groups["subset"], dtype=np.int64) if "subset" in groups else np.zeros_like(node)
        ident = np.stack([node, parent, subset], axis=1)
        _, inverse, counts = np.unique(ident, axis=0, return_inverse=True, return_counts=True)
        optional &= counts[inverse.ravel()] == 1
    if not optional.any():
        return groups
    # Parents of the kept occurrences, skipping optional ones (they nest).
    up = parent.copy()
    while True:
        hop = (up >= 0) & optional[np.maximum(up, 0)]
        if not hop.any():
            break
        up = np.where(hop, parent[np.maximum(up, 0)], up)
    keep = ~optional
    renumber = np.cumsum(keep) - 1
    new_parent = np.where(up >= 0, renumber[np.maximum(up, 0)], -1)[keep]
    return {"begin": begin[keep], "end": np.asarray(groups["end"], dtype=np.int64)[keep], "parent": new_parent}


def holders(positions: np.ndarray, bounds: np.ndarray, subsets: np.ndarray,
            groups) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The item range [begin, end) of the innermost replicated-group occurrence
    holding each position (positions ascending), the subset's range for items
    outside every replication; and whether an occurrence holds it."""
    begin = bounds[subsets].astype(np.int64)
    end = bounds[subsets + 1].astype(np.int64)
    held = np.zeros(len(positions), dtype=bool)
    if groups is None or len(groups["begin"]) == 0 or len(positions) == 0:
        return begin, end, held
    gb = np.asarray(groups["begin"], dtype=np.int64)
    ge = np.asarray(groups["end"], dtype=np.int64)
    parent = np.asarray(groups["parent"], dtype=np.int64)
    # Depth of each occurrence: occurrences of one depth never overlap, so each
    # depth is a sorted list of disjoint ranges to look positions up in.
    has_parent = parent >= 0
    if not has_parent.any():
        levels = [np.arange(len(gb)) if (np.diff(gb) >= 0).all() else np.argsort(gb, kind="stable")]
    else:
        depth = np.zeros(len(gb), dtype=np.int64)
        while True:
            new = np.where(has_parent, depth[np.maximum(parent, 0)] + 1, 0)
            if np.array_equal(new, depth):
                break
            depth = new
        order = np.lexsort((gb, depth))
        cuts = np.searchsorted(depth[order], np.arange(depth.max() + 2))
        levels = [order[cuts[d] : cuts[d + 1]] for d in range(len(cuts) - 1)]
    for sel in levels:
        b, e = gb[sel], ge[sel]
        k = np.searchsorted(b, positions, side="right") - 1
        kk = np.maximum(k, 0)
        inside = (k >= 0) & (positions < e[kk]) & (positions >= b[kk])
        begin = np.where(inside, b[kk], begin)
        end = np.where(inside, e[kk], end)
        held |= inside
    return begin, end, held


def first_outside(keys: np.ndarray, subsets: np.ndarray, held: np.ndarray) -> np.ndarray:
    """Which matched items take part in the walk: every item inside a
    replication, and outside them only the first item of each key in its
    subset (a later one is reached by its rank)."""
    free = np.flatnonzero(~held)
    if len(free) < 2:
        return np.ones(len(held), dtype=bool)
    pair = subsets[free] * (int(keys.max()) + 1) + keys[free]
    if np.bincount(pair).max() == 1:  # no selector repeats outside replications
        return np.ones(len(held), dtype=bool)
    out = held.copy()
    _, first = np.unique(pair, return_index=True)
    out[free[first]] = True
    return out


class _RangeMin:
    """Minimum of values over index ranges [lo, hi), many queries at once
    (a sparse table: log2(n) levels of minima over power-of-two spans)."""

    def __init__(self, values: np.ndarray) -> None:
        self.levels = [values]
        span = 1
        while 2 * span <= len(values):
            prev = self.levels[-1]
            self.levels.append(np.minimum(prev[:-span], prev[span:]))
            span *= 2

    def query(self, lo: np.ndarray, hi: np.ndarray, empty) -> np.ndarray:
        out = np.full(len(lo), empty, dtype=self.levels[0].dtype)
        ok = hi > lo
        if not ok.any():
            return out
        n = hi[ok] - lo[ok]
        k = np.floor(np.log2(n)).astype(np.int64)
        res = np.empty(len(n), dtype=self.levels[0].dtype)
        for level in np.unique(k):
            m = k == level
            table = self.levels[level]
            a = lo[ok][m]
            b = hi[ok][m] - (1 << int(level))
            res[m] = np.minimum(table[a], table[b])
        out[ok] = res
        return out


class Rows:
    """The rows of one message over its matched items.

    Inputs (one entry per matched item, in item order; one item may appear
    once per key it matches): `positions` (item index in the message), `keys`
    (small int per requested key), `subsets`, and the holder ranges.
    After construction: `row_subset` (subset of each row) and `pick(key)`,
    the matched-item index giving each row's value of a key (-1 when the row
    has none).
    """

    def __init__(self, positions, keys, subsets, hbegin, hend, nsubsets: int) -> None:
        n = len(positions)
        self.n = n
        self.positions = positions
        self.keys = keys
        self.subsets = subsets
        self.hend = hend
        idx = np.arange(n, dtype=np.int64)

        # The previous matched item of the same key in the same subset.
        order = np.lexsort((idx, keys))
        prev = np.full(n, -1, dtype=np.int64)
        same = (keys[order[1:]] == keys[order[:-1]]) & (subsets[order[1:]] == subsets[order[:-1]])
        prev[order[1:][same]] = order[:-1][same]
        self.prev = prev

        # Subsets where some key repeats; the others are one row each.
        repeats = np.zeros(nsubsets, dtype=bool)
        repeats[subsets[prev >= 0]] = True
        walk = repeats[subsets]

        first = np.ones(n, dtype=bool)
        first[1:] = subsets[1:] != subsets[:-1]
        # Leaving an occurrence: the item lies past the end of the range
        # holding the item before it.
        left = np.zeros(n, dtype=bool)
        left[1:] = positions[1:] >= hend[:-1]
        # A repeated key whose earlier item is still in the observation.
        self.drops = self._repeat_drops(prev)
        start = first | (walk & (left | self.drops))
        self.starts = np.flatnonzero(start)
        self.walk = walk
        self.row_subset = subsets[self.starts] if n else np.zeros(0, dtype=np.int64)
        self.row_last = np.append(self.starts[1:], n) - 1

    def _repeat_drops(self, prev: np.ndarray) -> np.ndarray:
        """Items whose key the observation holds when they are read. The
        earlier item p is held unless its occurrence ended, or a repeat read
        after it dropped it: a repeat j' in (p, j) whose own earlier item lies
        at or before p. Repeats depend on earlier repeats only, so iterating to
        a fixed point settles them, one level of dependency per round."""
        n = self.n
        cand = prev >= 0
        if not cand.any():
            return cand
        cand[cand] = self.positions[cand] < self.hend[prev[cand]]
        cidx = np.flatnonzero(cand)
        if len(cidx) == 0:
            return cand
        cprev = prev[cidx]
        valid = np.ones(len(cidx), dtype=bool)
        big = np.iinfo(np.int64).max
        for _ in range(len(cidx) + 1):
            table = _RangeMin(np.where(valid, cprev, big))
            lo = np.searchsorted(cidx, cprev, side="right")
            hi = np.searchsorted(cidx, cidx, side="left")
            dropped = table.query(lo, hi, big) <= cprev
            new = ~dropped
            if np.array_equal(new, valid):
                break
            valid = new
        self._repeats = cidx[valid]
        self._repeat_prev = cprev[valid]
        out = np.zeros(n, dtype=bool)
        out[self._repeats] = True
        return out

    def pick(self, key: int) -> np.ndarray:
        """For each row, the matched item holding `key` when the row is
        emitted, or -1."""
        n = self.n
        if n == 0:
            return np.zeros(0, dtype=np.int64)
        idx = np.arange(n, dtype=np.int64)
        last = np.maximum.accumulate(np.where(self.keys == key, idx, -1))
        t = self.row_last
        c = last[t]
        ok = c >= 0
        cc = np.maximum(c, 0)
        ok &= self.subsets[cc] == self.subsets[t]
        walk = self.walk[t]
        # In a walked subset the item must still be held: its occurrence has
        # not ended by the row's last item, and no repeat since dropped it.
        held = self.positions[t] < self.hend[cc]
        if self.drops.any():
            reps = self._repeats
            table = _RangeMin(self._repeat_prev)
            lo = np.searchsorted(reps, cc, side="right")
            hi = np.searchsorted(reps, t, side="right")
            held &= ~(table.query(lo, hi, np.iinfo(np.int64).max) <= cc)
        ok &= ~walk | held
        return np.where(ok, c, -1)
