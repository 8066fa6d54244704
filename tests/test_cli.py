"""The korvane command, run as a user would run it: korvane ls, and what every
command does with its inputs (files, directories, patterns, standard input,
damaged and empty files, a closed pipe)."""

from __future__ import annotations

import json
import os
import subprocess
import sys

import pytest

from bufr_builder import build
from clirun import COMMAND, EXPECTED, korvane


def _rows(stdout: str) -> dict[str, list[list[str]]]:
    """ls output: the rows of each file (named by "# FILE" lines when there are several)."""
    lines = stdout.splitlines()
    assert lines[0].split("\t")[:3] == ["offset", "edition", "length"]
    rows: dict[str, list[list[str]]] = {}
    name = ""
    for line in lines[1:]:
        if line.startswith("# "):
            name = os.path.basename(line[2:])
        else:
            rows.setdefault(name, []).append(line.split("\t"))
    return rows


def test_ls_lists_every_message(corpus_dir):
    ed4 = corpus_dir / "ed4"
    index = json.loads((ed4 / "index.json").read_text())
    r = korvane("ls", str(ed4))
    assert r.returncode == 0, r.stderr
    rows = _rows(r.stdout)
    assert set(rows) == set(index)  # index.json, with no message in it, is passed over
    for name, messages in index.items():
        want = [[str(m["offset"]), str(m["edition"]), str(m["total_length"]), str(m["originating_centre"]),
                 str(m["data_category"]),
                 "{typical_year:04d}-{typical_month:02d}-{typical_day:02d}T{typical_hour:02d}:"
                 "{typical_minute:02d}:{typical_second:02d}".format(**m),
                 str(m["master_tables_version_number"]), str(m["local_tables_version_number"]),
                 str(m["number_of_subsets"]), "yes" if m["compressed_data"] else "no",
                 " ".join(f"{c:06d}" for c in m["unexpanded_descriptors"])] for m in messages]
        assert [row[:4] + row[5:] for row in rows[name]] == want, name
    names = {row[3]: row[4] for file_rows in rows.values() for row in file_rows}
    assert {c: names[c] for c in EXPECTED["centre_names"]} == EXPECTED["centre_names"]


@pytest.mark.parametrize(
    "content, text",
    [
        (None, "No such file or directory"),
        (b"BUFR\x00\x00\x08\x03", "message 0 at offset 0: "),
        (build()[:-1] + b"8", "message 0 at offset 0: the message does not end with 7777"),
        (b"", "no BUFR messages found in {path}"),
        (bytes(range(256)) * 4, "no BUFR messages found in {path}"),
    ],
)
@pytest.mark.parametrize("command", ["ls", "dump"])
def test_ls_reports_bad_input_without_traceback(tmp_path, command, content, text):
    path = tmp_path / "bad.bufr"
    if content is not None:
        path.write_bytes(content)
    r = korvane(command, str(path))
    assert (r.returncode, r.stdout) == (1, "")
    assert r.stderr.startswith(f"korvane: ") and text.format(path=path) in r.stderr
    assert len(r.stderr.splitlines()) == 1


@pytest.mark.parametrize("command", ["ls", "dump"])
def test_ls_goes_on_after_a_bad_file_but_fails(tmp_path, corpus_dir, command):
    good = (corpus_dir / "ed4" / "ISMD01_OKPR.bufr").read_bytes()
    first, second = good[31:31 + 692], good[758:758 + 714]
    # A message cut short between two good ones, one cut short at the end, then a missing file.
    path = tmp_path / "damaged.bufr"
    path.write_bytes(first + second[:500] + first + second[:300])
    r = korvane(command, str(path), str(tmp_path / "missing.bufr"))
    assert r.returncode == 1
    assert r.stderr.splitlines() == [
        f"korvane: {path}: message 1 at offset 692: the message does not end with 7777",
        f"korvane: {path}: message 3 at offset 1884: message cut short: it declares 714 bytes, but the input ends "
        "300 bytes after its start",
        f"korvane: {tmp_path / 'missing.bufr'}: No such file or directory",
    ]
    if command == "ls":
        assert [row[0] for row in _rows(r.stdout)["damaged.bufr"]] == ["0", str(692 + 500)]
    else:
        assert [line.split(":")[0] for line in r.stdout.splitlines() if line.startswith("# ")] == [
            f"# {path} message 0 at offset 0", f"# {path} message 2 at offset {692 + 500}"]


def test_glob_patterns_and_standard_input(corpus_dir):
    ed4 = corpus_dir / "ed4"
    r = korvane("ls", str(ed4 / "nos*_208.bufr"), "-", stdin=(ed4 / "uegabe.bufr").read_bytes())
    assert r.returncode == 0, r.stderr
    assert list(_rows(r.stdout)) == [f"nos{i}_208.bufr" for i in range(1, 9)] + ["<stdin>"]
    r = korvane("ls", str(ed4 / "none*.bufr"))
    assert (r.returncode, r.stderr) == (1, f"korvane: {ed4 / 'none*.bufr'}: no file matches this pattern\n")
    path = str(ed4 / "uegabe.bufr")
    piped = korvane("dump", "-", stdin=(ed4 / "uegabe.bufr").read_bytes())
    assert piped.stdout == korvane("dump", path).stdout.replace(path, "<stdin>")


def test_a_closed_pipe_ends_quietly(corpus_dir):
    p = subprocess.Popen([*COMMAND, "dump", str(corpus_dir / "ed4" / "mhen_55.bufr")], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE)
    assert p.stdout.readline().startswith(b"# ")
    p.stdout.close()  # as `| head -1` does
    assert (p.wait(timeout=120), p.stderr.read()) == (0, b"")
    p.stderr.close()


def test_a_wrong_definitions_root_is_reported_once(tmp_path, corpus_dir):
    r = korvane("dump", "--definitions", str(tmp_path), str(corpus_dir / "ed4" / "ISMD01_OKPR.bufr"))
    assert (r.returncode, r.stdout) == (1, "")
    assert r.stderr == f"korvane: --definitions {tmp_path}: no BUFR tables there " \
                       f"(expected {tmp_path / 'bufr' / 'tables'})\n"


@pytest.mark.parametrize(
    "args, status, out, err",
    [
        (["--version"], 0, "korvane {version}\n", ""),
        (["dump", "--subset"], 2, "", "korvane: option --subset needs a value (N) (see 'korvane dump --help')\n"),
        (["ls", "--bogus", "x"], 2, "", "korvane: ls: unknown option --bogus (see 'korvane ls --help')\n"),
        (["frobnicate"], 2, "", "korvane: unknown command 'frobnicate' (choose from ls, dump, convert, copy, split, set, "
                                "compare, encode, expand, table) (see 'korvane --help')\n"),
        (["dump", "--compact", "x"], 2, "", "korvane: --compact goes with --json (see 'korvane dump --help')\n"),
    ],
)
def test_options(args, status, out, err):
    import korvane as k

    r = korvane(*args)
    assert (r.returncode, r.stdout, r.stderr) == (status, out.format(version=k.__version__), err)


def test_progress_bar_only_on_a_terminal(corpus_dir, tmp_path):
    pytest.importorskip("tqdm")
    import pty
    import termios

    files = sorted(str(p) for p in (corpus_dir / "ed4").glob("*.bufr"))
    controller, terminal = pty.openpty()
    termios.tcsetwinsize(terminal, (24, 100))  # a new pseudo-terminal is 0 columns wide
    with open(tmp_path / "out", "wb") as out:
        p = subprocess.Popen([*COMMAND, "ls", *files], stdout=out, stderr=terminal)
        os.close(terminal)
        shown = b""
        while True:
            try:
                chunk = os.read(controller, 4096)
            except OSError:  # the terminal closed with the command
                break
            if not chunk:
                break
            shown += chunk
        assert p.wait(timeout=120) == 0
    os.close(controller)
    assert f"/{len(files)} ".encode() in shown and b"file" in shown
    quiet = korvane("ls", *files)  # stderr a pipe: no bar
    assert quiet.stderr == "" and quiet.stdout == (tmp_path / "out").read_text()
