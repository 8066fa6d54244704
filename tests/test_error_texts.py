"""Every kind of damaged message, told the same way by each reader: the
reader (korvane.open, then decoding), read_bufr with errors="raise", and the
command (dump, and ls for what opening a file finds). The messages and the
texts they must give are in data/error_texts.json."""

from __future__ import annotations

import json
from pathlib import Path

import pytest

import korvane
import tablefiles
from bufr_builder import build
from clirun import korvane as command

DATA = json.loads((Path(__file__).parent / "data" / "error_texts.json").read_text(encoding="utf-8"))


def _message(recipe: dict) -> bytes:
    return build(**{k: bytes.fromhex(v) if k == "data" else v for k, v in recipe.items()})


GOOD = _message(DATA["good"])


def _first_error(read) -> korvane.DecodeError:
    with pytest.raises(korvane.DecodeError) as info:
        read()
    return info.value


def _decode_all(path: Path, root: Path) -> None:
    with korvane.open(path, definitions=root) as f:
        for m in f:
            m.decode()


@pytest.mark.parametrize("case", DATA["cases"], ids=[c["id"] for c in DATA["cases"]])
def test_each_kind_names_its_cause_everywhere(case, tmp_path, definitions_root):
    root = definitions_root
    if "tables" in case:
        root = tmp_path / "definitions"
        files = {"element.table": tablefiles.ELEMENTS, "sequence.def": tablefiles.SEQUENCES, **case["tables"]}
        for name, text in files.items():
            tablefiles.write(root / "bufr/tables/0/wmo/13" / name, text)
    bad = bytes.fromhex(case["raw"]) if "raw" in case else _message(case["build"])
    before, after = case.get("before", 1), case.get("after", 1)
    path = tmp_path / "file.bufr"
    path.write_bytes(GOOD * before + bad + GOOD * after)
    place = (case["kind"], case["reason"].format(definitions=root), str(path), before, len(GOOD) * before)
    line = "korvane: {2}: message {3} at offset {4}: {1}\n".format(*place)

    e = _first_error(lambda: _decode_all(path, root))
    assert (e.kind, e.reason, e.source, e.message_index, e.offset) == place
    assert str(e) == line[len("korvane: "):-1]
    e = _first_error(lambda: korvane.read_bufr(path, columns=["blockNumber"], definitions=root, errors="raise"))
    assert (e.kind, e.reason, e.source, e.index, e.offset) == place

    r = command("dump", "--definitions", str(root), str(path))
    assert (r.returncode, r.stderr) == (1, line)
    r = command("ls", str(path))
    assert (r.returncode, r.stderr) == ((1, line) if case["found_by"] == "scan" else (0, ""))
