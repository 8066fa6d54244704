"""ecCodes, an independent decoder, as the tests ask it for values.

ecCodes runs in a subprocess under Debian's Python (python3-eccodes), over
many files at once (scripts/eccodes-values). Its numericValues holds one
number per item of every subset, items of every kind included: elements,
replication factors and data present indicators, associated fields and the
operators' placeholders (0); for a character item a pointer into
stringValues, which holds the texts, inserted texts (2 05 YYY) included.
Compressed data give one text for a column whose subsets all hold the same
text, else one per subset. korvane and ecCodes agree on a message when:

- the numbers agree item for item: missing alike (ecCodes writes -1e100 or
  2147483647), values within 4 units in the last place (korvane divides by
  10^scale, ecCodes multiplies by 10^-scale);
- the texts agree, korvane's with trailing spaces and NULs removed, ecCodes'
  likewise, a missing text (all bits set) being "" for ecCodes.
"""

from __future__ import annotations

import json
import subprocess
import tempfile
from pathlib import Path

import numpy as np
import pytest

import korvane
from korvane.reader import CHARACTER, INSERTED_TEXT

SCRIPT = Path(__file__).resolve().parent.parent / "scripts" / "eccodes-values"
ECCODES_PYTHON = "/usr/bin/python3"
MISSING = (-1e100, 2147483647)  # CODES_MISSING_DOUBLE, CODES_MISSING_LONG


def eccodes_values(paths: list[Path]) -> tuple[dict[str, list], np.ndarray]:
    """ecCodes' values of every file: (rows of messages.json by path as given,
    numbers); see scripts/eccodes-values."""
    try:
        probe = subprocess.run([ECCODES_PYTHON, "-c", "import eccodes"], capture_output=True, text=True)
    except OSError as e:
        probe = subprocess.CompletedProcess([], 1, "", str(e))
    if probe.returncode != 0:
        reason = (probe.stderr.strip().splitlines() or ["failed"])[-1]
        pytest.fail(f"{ECCODES_PYTHON} cannot import eccodes ({reason}): "
                    "install Debian's python3-eccodes (apt-get install python3-eccodes)")
    with tempfile.TemporaryDirectory() as out:
        run = subprocess.run([ECCODES_PYTHON, str(SCRIPT), out, *map(str, paths)], capture_output=True, text=True)
        assert run.returncode == 0, run.stderr[-2000:]
        rows = json.loads((Path(out) / "messages.json").read_text())
        return rows, np.load(Path(out) / "numeric.npy")


def texts_as_ecCodes_lists_them(v: korvane.Values, compressed: bool) -> list[str]:
    is_text = (v.kind == CHARACTER) | (v.kind == INSERTED_TEXT)
    texts = np.array(["" if t is None else t for t in v.text[is_text]], dtype=object)
    if not compressed:
        return texts.tolist()
    out = []
    for column in texts.reshape(v.number_of_subsets, -1).T:
        out += column[:1].tolist() if (column == column[0]).all() else column.tolist()
    return out


def differing_numbers(v: korvane.Values, numbers: np.ndarray) -> np.ndarray:
    """Positions of the non-text items where the two disagree."""
    numeric = (v.kind != CHARACTER) & (v.kind != INSERTED_TEXT)
    missing = np.isin(numbers, MISSING)
    a, b = np.where(v.missing, 0.0, v.value), np.where(missing, 0.0, numbers)
    close = np.abs(a - b) <= 4 * np.spacing(np.maximum(np.abs(a), np.abs(b)))
    return np.flatnonzero(numeric & ((v.missing != missing) | ~close))


def disagreement(v: korvane.Values, compressed: bool, row: list, numbers: np.ndarray):
    """Where korvane's values of a message and ecCodes' (its row of
    messages.json and its numbers) disagree, or None."""
    _, begin, end, texts, error = row
    if error is not None:
        return f"ecCodes: {error}"
    mine = numbers[begin:end]
    if len(v) != len(mine):
        return f"{len(v)} items, ecCodes {len(mine)}"
    where = differing_numbers(v, mine)
    if where.size:
        return [(int(v.code[i]), v.value[i], mine[i]) for i in where[:5]]
    if texts_as_ecCodes_lists_them(v, compressed) != [t.rstrip(" \0") for t in texts]:
        return "texts"
    return None
