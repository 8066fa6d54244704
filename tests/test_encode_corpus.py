"""Every message of the corpus (../shared/corpus/ed4 and ed3) that korvane
decodes, written again from its decoded values: with its own header and
compression it gives its own bytes; with the other compression, the same
items, which ecCodes decodes to the same values. data/encode_roundtrip.json
lists the exceptions, with their causes."""

from __future__ import annotations

import json
from pathlib import Path

import numpy as np
import pytest

import korvane
from eccodes_peer import disagreement, eccodes_values
from korvane.reader import CHARACTER, INSERTED_TEXT

HERE = Path(__file__).resolve().parent
CORPUS = HERE.parent.parent / "shared" / "corpus"
FILES = sorted(CORPUS.glob("ed4/*.bufr")) + sorted(CORPUS.glob("ed3/*.bufr"))
EXPECTED = json.loads((HERE / "data" / "encode_roundtrip.json").read_text())
ED3_EXCEPTIONS = json.loads((HERE / "data" / "ed3_exceptions.json").read_text())


def listed(section: str) -> dict:
    return {(e["file"], offset): e for e in EXPECTED[section] for offset in e["offsets"]}


SAME_ITEMS, REFUSED, ECCODES_DIFFERS = listed("same_items"), listed("refused"), listed("eccodes_differs")
# Messages whose own values ecCodes reads otherwise (test_ed3_corpus.py).
DECODED_OTHERWISE = {(e["file"], o) for e in ED3_EXCEPTIONS["exceptions"] for o in e["offsets"]}


def items_of(v: korvane.Values, subsets=None) -> dict:
    """The decoded items of the subsets chosen: codes, missing, values and
    bits of the numbers that are not missing (a missing value's bits in
    compressed data are its column's R0), and texts."""
    if subsets is not None:
        index = np.concatenate([np.arange(v.subset_bounds[s], v.subset_bounds[s + 1]) for s in subsets])
    else:
        index = np.arange(len(v))
    text = np.isin(v.kind[index], [CHARACTER, INSERTED_TEXT])
    number = ~text & ~v.missing[index]
    return {
        "code": v.code[index].tolist(),
        "missing": v.missing[index].tolist(),
        "value": np.where(number, v.value[index], 0).tolist(),
        "raw": np.where(number, v.raw[index], 0).tolist(),
        "text": v.text[index][text].tolist(),
    }


def messages(path: Path):
    with korvane.open(path, errors="skip") as f:
        for m in f:
            try:
                v = m.decode()
            except korvane.DecodeError:
                continue  # test_corpus_decode.py and test_ed3_corpus.py cover these
            yield m, v


@pytest.mark.parametrize("path", FILES, ids=[f"{p.parent.name}/{p.name}" for p in FILES])
def test_every_message_is_written_again_as_it_was(path, definitions_root):
    for m, v in messages(path):
        out = m.encode()
        expected = SAME_ITEMS.get((path.name, m.offset))
        if expected is None:
            assert out == bytes(m.bytes), m.offset
            continue
        grown = expected["bytes"]
        if isinstance(grown, list):  # per message, in the order of the offsets
            grown = grown[expected["offsets"].index(m.offset)]
        assert len(out) - m.length == grown, m.offset
        again = korvane.open(out, definitions=definitions_root)[0]
        assert again.header | {"total_length": m.length} == m.header | {
            "section4_length": again.header["section4_length"],
            "section4_data_length": again.header["section4_data_length"]}
        assert items_of(again.decode()) == items_of(v), m.offset


def test_the_counts_of_each_outcome(definitions_root):
    # The figures the closing note gives.
    outcomes = {"identical": {False: 0, True: 0}, "same items": {False: 0, True: 0}}
    for path in FILES:
        for m, _ in messages(path):
            kind = "same items" if (path.name, m.offset) in SAME_ITEMS else "identical"
            outcomes[kind][bool(m.compressed_data)] += 1
    assert outcomes == {"identical": {False: 614, True: 547}, "same items": {False: 4, True: 4}}


@pytest.fixture(scope="module")
def converted(tmp_path_factory):
    """Every message written with the other compression, with the items it
    should give: (file name, offset, compressed, path, items). Compressed
    messages written uncompressed keep their first two and last subsets:
    ecCodes 2.28 takes minutes over the uncompressed data of the larger
    ones, and runs out of bitmaps ("max num bitmaps") over more subsets."""
    folder = tmp_path_factory.mktemp("converted")
    out = []
    for path in FILES:
        for m, v in messages(path):
            key = (path.name, m.offset)
            if key in DECODED_OTHERWISE:
                continue
            target = not m.compressed_data
            subsets = None
            if not target and m.number_of_subsets > 3:
                subsets = [0, 1, m.number_of_subsets - 1]
            try:
                data = m.encode(compressed=target) if subsets is None else \
                    m.select_subsets(subsets, compressed=target)
            except ValueError as e:
                out.append((path.name, m.offset, target, e, None))
                continue
            written = folder / f"{len(out)}.bufr"
            written.write_bytes(data)
            out.append((path.name, m.offset, target, written, items_of(v, subsets)))
    return out


def test_the_other_compression_gives_the_same_items(converted, definitions_root):
    refused = set()
    for name, offset, target, written, items in converted:
        if isinstance(written, Exception):
            expected = REFUSED.get((name, offset))
            assert expected is not None and expected["compressed"] == target, (name, offset, str(written))
            assert str(written) == expected["error"]
            refused.add((name, offset))
            continue
        m = korvane.open(written, definitions=definitions_root)[0]
        assert m.compressed_data == target
        assert items_of(m.decode()) == items, (name, offset)
    assert refused == set(REFUSED)


def test_ecCodes_decodes_them_to_korvane_values(converted, definitions_root):
    written = [c for c in converted if isinstance(c[3], Path)]
    rows, numbers = eccodes_values([c[3] for c in written])
    differs = set()
    for name, offset, target, path, _ in written:
        v = korvane.open(path, definitions=definitions_root)[0].decode()
        problem = disagreement(v, target, rows[str(path)][0], numbers)
        if (name, offset) in ECCODES_DIFFERS:
            assert problem is not None, (name, offset)
            differs.add((name, offset))
        else:
            assert problem is None, (name, offset, problem)
    assert differs == set(ECCODES_DIFFERS)
