"""Every message of the edition 3 corpus (../shared/corpus/ed3, editions 3 and
4 mixed) read through korvane.open, against ecCodes, an independent decoder
(tests/eccodes_peer.py says how the two are compared), and the messages
must be the same, at the same offsets.

tests/data/ed3_exceptions.json lists the messages where they do not, with
the cause and what korvane gives there.
"""

from __future__ import annotations

import json
from pathlib import Path

import pytest

import korvane
from eccodes_peer import differing_numbers, eccodes_values, texts_as_ecCodes_lists_them
from shared_data import ED3 as CORPUS

HERE = Path(__file__).resolve().parent
FILES = sorted(p.name for p in CORPUS.glob("*.bufr"))
HEADERS = json.loads((HERE / "data" / "ed3_headers.json").read_text())
EXPECTED = json.loads((HERE / "data" / "ed3_exceptions.json").read_text())
EXCEPTIONS = {(e["file"], offset): e for e in EXPECTED["exceptions"] for offset in e["offsets"]}


@pytest.fixture(scope="module")
def eccodes(corpus_dir):
    """ecCodes' values of every file: (rows of messages.json by file name, numbers)."""
    rows, numbers = eccodes_values([CORPUS / name for name in FILES])
    return {Path(path).name: r for path, r in rows.items()}, numbers


def test_the_corpus_is_all_there(corpus_dir):
    assert FILES == sorted(HEADERS["files"])
    assert sum(map(len, HEADERS["files"].values())) == EXPECTED["messages"]


@pytest.mark.parametrize("name", FILES)
def test_headers_are_those_ecCodes_reads(name, definitions_root):
    fields = HEADERS["fields"][1:]
    with korvane.open(CORPUS / name, definitions=definitions_root) as f:
        assert [[m.offset, *(m.header[k] for k in fields)] for m in f] == HEADERS["files"][name]


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
