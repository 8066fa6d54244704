"""The korvane command, run as a user would run it."""

from __future__ import annotations

import os
import subprocess
import sys

import pytest

from bufr_builder import build


def korvane(*args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "korvane", *args],
        capture_output=True,
        text=True,
        env=dict(os.environ),
        timeout=120,
    )


def test_ls_lists_every_message(corpus_dir):
    path = corpus_dir / "ed4" / "ISMD01_OKPR.bufr"
    r = korvane("ls", str(path))
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert lines[0].split("\t")[:3] == ["offset", "edition", "length"]
    assert lines[1].split("\t") == ["31", "4", "692", "89", "0", "13", "7", "yes", "307080"]
    assert len(lines) == 1 + 4


@pytest.mark.parametrize(
    "content, text",
    [
        (None, "No such file or directory"),
        (b"BUFR\x00\x00\x08\x03", "unsupported BUFR edition 3; only edition 4 is implemented"),
        (build()[:-1] + b"8", "section 5 terminator is not 7777"),
    ],
)
def test_ls_reports_bad_input_without_traceback(tmp_path, content, text):
    path = tmp_path / "bad.bufr"
    if content is not None:
        path.write_bytes(content)
    r = korvane("ls", str(path))
    assert r.returncode != 0
    assert text in r.stderr
    assert "Traceback" not in r.stderr


def test_ls_goes_on_after_a_bad_file_but_fails(tmp_path, corpus_dir):
    good = corpus_dir / "ed4" / "ISMD01_OKPR.bufr"
    r = korvane("ls", str(tmp_path / "missing.bufr"), str(good))
    assert r.returncode == 1
    assert "307080" in r.stdout
