"""Every message of the edition 3 corpus (../shared/corpus/ed3, editions 3 and
4 mixed) read through korvane.open, against ecCodes, an independent decoder.

ecCodes runs once, in a subprocess under Debian's Python (python3-eccodes),
over all files (scripts/eccodes-values). Its numericValues holds one number
per item of every subset, items of every kind included: elements,
replication factors and data present indicators, associated fields and the
operators' placeholders (0); for a character item a pointer into stringValues, which holds the texts, inserted
texts (2 05 YYY) included. Compressed data give one text for a column whose
subsets all hold the same text, else one per subset. The two agree when:

- the messages are the same, at the same offsets;
- the numbers agree item for item: missing alike (ecCodes writes -1e100 or
  2147483647), values within 4 units in the last place (korvane divides by
  10^scale, ecCodes multiplies by 10^-scale);
- the texts agree, korvane's with trailing spaces and NULs removed, ecCodes'
  likewise, a missing text (all bits set) being "" for ecCodes.

tests/data/ed3_exceptions.json lists the messages where they do not, with
the cause and what korvane gives there.
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
from shared_data import ED3 as CORPUS

HERE = Path(__file__).resolve().parent
FILES = sorted(p.name for p in CORPUS.glob("*.bufr"))
HEADERS = json.loads((HERE / "data" / "ed3_headers.json").read_text())
EXPECTED = json.loads((HERE / "data" / "ed3_exceptions.json").read_text())
EXCEPTIONS = {(e["file"], offset): e for e in EXPECTED["exceptions"] for offset in e["offsets"]}
ECCODES_PYTHON = "/usr/bin/python3"
MISSING = (-1e100, 2147483647)  # CODES_MISSING_DOUBLE, CODES_MISSING_LONG


@pytest.fixture(scope="module")
def eccodes(corpus_dir):
    """ecCodes' values of every file: (rows of messages.json by file name, numbers)."""
    try:
        probe = subprocess.run([ECCODES_PYTHON, "-c", "import eccodes"], capture_output=True, text=True)
    except OSError as e:
        probe = subprocess.CompletedProcess([], 1, "", str(e))
    if probe.returncode != 0:
        reason = (probe.stderr.strip().splitlines() or ["failed"])[-1]
        pytest.fail(f"{ECCODES_PYTHON} cannot import eccodes ({reason}): "
                    "install Debian's python3-eccodes (apt-get install python3-eccodes)")
    with tempfile.TemporaryDirectory() as out:
        run = subprocess.run([ECCODES_PYTHON, str(HERE.parent / "scripts" / "eccodes-values"), out,
                              *(str(CORPUS / name) for name in FILES)], capture_output=True, text=True)
        assert run.returncode == 0, run.stderr[-2000:]
        rows = {Path(path).name: r for path, r in json.loads((Path(out) / "messages.json").read_text()).items()}
        yield rows, np.load(Path(out) / "numeric.npy")


def test_the_corpus_is_all_there(corpus_dir):
    assert FILES == sorted(HEADERS["files"])
    assert sum(map(len, HEADERS["files"].values())) == EXPECTED["messages"]


@pytest.mark.parametrize("name", FILES)
def test_headers_are_those_ecCodes_reads(name, definitions_root):
    fields = HEADERS["fields"][1:]
    with korvane.open(CORPUS / name, definitions=definitions_root) as f:
        assert [[m.offset, *(m.header[k] for k in fields)] for m in f] == HEADERS["files"][name]


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


def check_exception(m: korvane.Message, row: list, numbers: np.ndarray, expected: dict, definitions) -> None:
    _, _, _, texts, error = row
    assert error == expected["eccodes_error"]
    want = expected["korvane"]
    if "error" in want:
        with pytest.raises(korvane.DecodeError) as e:
            m.decode()
        assert (e.value.kind, e.value.reason) == (want["kind"], want["error"].format(definitions=definitions))
    elif "items" in want:
        assert len(m.decode()) == want["items"]
    else:
        v = m.decode()
        assert texts_as_ecCodes_lists_them(v, m.compressed_data) == [t.rstrip(" \0") for t in texts]
        where = differing_numbers(v, numbers)
        assert (set(v.code[where].tolist()), len(where)) == ({want["differs"]["code"]}, want["differs"]["items"])
        assert (numbers[where] == v.raw[where]).all()


@pytest.mark.parametrize("name", FILES)
def test_values_are_those_ecCodes_decodes(name, definitions_root, eccodes, item_bound):
    rows, numbers = eccodes
    with korvane.open(CORPUS / name, definitions=definitions_root, errors="skip") as f:
        assert f.errors == []
        assert [m.offset for m in f] == [r[0] for r in rows[name]]
        for m, row in zip(f, rows[name]):
            offset, begin, end, texts, error = row
            mine = numbers[begin:end]
            if (name, offset) in EXCEPTIONS:
                check_exception(m, row, mine, EXCEPTIONS[name, offset], definitions_root)
                continue
            assert error is None, (offset, error)
            v = m.decode()
            assert len(v) == len(mine), offset
            where = differing_numbers(v, mine)
            assert where.size == 0, (offset, [(int(v.code[i]), v.value[i], mine[i]) for i in where[:5]])
            assert texts_as_ecCodes_lists_them(v, m.compressed_data) == [t.rstrip(" \0") for t in texts], offset
            # Real data stay a quarter below the bound on items that guards
            # against descriptors repeated without data.
            assert 5 * len(v) < 4 * item_bound(m.compressed_data, m.header["section4_data_length"] * 8), offset
