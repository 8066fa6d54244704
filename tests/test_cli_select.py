"""What every command reads chosen by -m and -w, and the keys ls -p prints:
header and data keys against ecCodes' bufr_ls, conditions on data keys
against the rows of korvane.read_bufr."""

from __future__ import annotations

import csv
import io
import json

import pytest

from clirun import EXPECTED, corpus_files, eccodes_tool, korvane


@pytest.mark.parametrize("case", EXPECTED["ls_keys"], ids=lambda c: c["files"][0])
def test_ls_prints_keys_as_bufr_ls(corpus_dir, case):
    files = corpus_files(corpus_dir, case["files"])
    keys = case["keys"]
    ours = korvane("ls", "--csv", "-p", ",".join(keys), *files)
    assert (ours.returncode, ours.stderr) == (0, "")
    rows = list(csv.DictReader(io.StringIO(ours.stdout)))
    typed = ",".join(f"{k}:{t}" for k, t in keys.items())
    theirs = eccodes_tool("bufr_ls", "-j", *case.get("eccodes", []), "-p", typed, *files)
    assert theirs.returncode == 0, theirs.stderr
    want = json.loads(theirs.stdout)["messages"]
    assert len(rows) == len(want)
    for row, w in zip(rows, want):
        for key, kind in keys.items():
            got = row[key]
            if w[key] == "MISSING":
                assert got == "", (row["file"], row["message"], key)
            elif kind == "d":
                # bufr_ls prints numbers to six significant digits.
                assert float(got) == pytest.approx(w[key], rel=5e-6), (row["file"], row["message"], key)
            else:
                assert got == str(w[key]), (row["file"], row["message"], key)
    # The same values as JSON and as text.
    docs = [json.loads(line) for line in korvane("ls", "--json", "-p", ",".join(keys), *files).stdout.splitlines()]
    as_csv = [{k: "" if d[k] is None else str(d[k]) for k in keys} for d in docs]
    assert as_csv == [{k: r[k] for k in keys} for r in rows]
    text = korvane("ls", "-p", ",".join(keys), *files[:1]).stdout.splitlines()
    assert text[0].split("\t") == list(keys)
    assert [line.split("\t") for line in text[1:]] == [[r[k] or "missing" for k in keys] for r in rows
                                                      if r["file"] == files[0]]


def _chosen(stdout: str) -> list[tuple[str, int]]:
    return [(d["file"], d["message"]) for d in map(json.loads, stdout.splitlines())]


@pytest.mark.filterwarnings("ignore:.* is not in")  # keys some of the files lack
@pytest.mark.parametrize("case", EXPECTED["where"], ids=lambda c: " ".join(c["where"]))
def test_where_chooses_the_messages_with_rows_that_pass(corpus_dir, case):
    """A message is chosen when a row of it passes the conditions on data keys
    (as read_bufr's filters keep rows) and its header passes the others."""
    import korvane as k

    pytest.importorskip("pandas")
    files = corpus_files(corpus_dir, case["files"])
    args = [a for w in case["where"] for a in ("-w", w)]
    r = korvane("ls", "--json", "-p", "edition", *args, *files)
    assert (r.returncode, r.stderr) == (0, "")
    want = []
    for path in files:
        filters = {key: slice(*f["range"]) if isinstance(f, dict) else f for key, f in case["filters"].items()}
        rows = k.read_bufr(path, ["message_index", "subset"], filters=filters)
        picked = set(rows["message_index"].tolist())
        if case.get("negated"):
            everything = k.read_bufr(path, ["message_index", "subset"])
            refused = set(zip(rows["message_index"], rows["subset"]))
            picked = {m for m, s in zip(everything["message_index"], everything["subset"]) if (m, s) not in refused}
        f = k.open(path)
        want += [(path, f[p].index) for p in sorted(picked) if all(
            f[p].header[field] in values for field, values in case.get("header", {}).items())]
    assert _chosen(r.stdout) == want and len(want) == case["chosen"]


def _blocks(stdout: str) -> list[list[str]]:
    """dump's output, a list of lines per message."""
    out: list[list[str]] = []
    for line in stdout.splitlines():
        if line.startswith("# "):
            out.append([])
        out[-1].append(line)
    return out


def test_message_numbers_choose_in_every_command(corpus_dir):
    path = str(corpus_dir / "ed4" / "aben_55.bufr")
    every = _blocks(korvane("dump", path).stdout)
    r = korvane("dump", "-m", "1,3..4,12..", path)
    assert _blocks(r.stdout) == [every[i] for i in (1, 3, 4, 12, 13)]
    ls = korvane("ls", "--json", "-m", "1,3..4,12..", "-w", "typicalMinute!=3", path)
    assert _chosen(ls.stdout) == [(path, 12), (path, 13)]
    pd = pytest.importorskip("pandas")
    got = pd.read_csv(io.StringIO(korvane("convert", "-m", "12..", path, "--columns", "message_index,latitude").stdout))
    assert sorted(set(got["message_index"])) == [12, 13] and len(got) == 128 + 46


@pytest.mark.parametrize("args, text", [
    (["-m", "x"], "-m 'x': give message numbers counted from 0, N, N,M or A..B"),
    (["-w", "dataCategory"], "-w 'dataCategory': write KEY=VALUE"),
    (["-w", "dataCategory=a"], "-w dataCategory: dataCategory takes numbers, not 'a'"),
    (["-w", "pressure=1..2,5"], "a range LOW..HIGH stands alone"),
    (["-w", "message_index=1"], "-w message_index: choose messages by number with -m"),
    (["-p", "subset"], "subset is no key of a message"),
])
def test_wrong_selections_are_usage_errors(corpus_dir, args, text):
    r = korvane("ls", *args, str(corpus_dir / "ed4" / "uegabe.bufr"))
    assert r.returncode == 2 and text in r.stderr and r.stdout == ""
    r = korvane("ls", "-w", "airTemperatur=3", str(corpus_dir / "ed4" / "uegabe.bufr"))
    assert r.returncode == 1 and "did you mean 'airTemperature'" in r.stderr
