"""Runs the korvane command as installed (the console script beside the
interpreter running the tests, else `python -m korvane`)."""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

_SCRIPT = Path(sys.executable).parent / "korvane"
COMMAND = [str(_SCRIPT)] if _SCRIPT.exists() else [sys.executable, "-m", "korvane"]
EXPECTED = json.loads((Path(__file__).parent / "data" / "cli.json").read_text(encoding="utf-8"))


def korvane(*args: str, stdin: bytes | None = None, env: dict | None = None) -> subprocess.CompletedProcess[str]:
    r = subprocess.run([*COMMAND, *args], input=stdin, capture_output=True, timeout=120, env=env)
    return subprocess.CompletedProcess(r.args, r.returncode, r.stdout.decode(), r.stderr.decode())


def eccodes_tool(*args: str, cwd=None) -> subprocess.CompletedProcess[str]:
    """One of ecCodes' command-line tools (bufr_copy, bufr_compare, bufr_ls: Debian's libeccodes-tools)."""
    import shutil

    import pytest

    if shutil.which(args[0]) is None:
        pytest.fail(f"{args[0]} is not installed: install Debian's libeccodes-tools")
    r = subprocess.run(args, capture_output=True, timeout=300, cwd=cwd)
    return subprocess.CompletedProcess(r.args, r.returncode, r.stdout.decode(errors="replace"),
                                       r.stderr.decode(errors="replace"))


def corpus_files(corpus_dir: Path, names: list[str]) -> list[str]:
    """Files of the corpus as ecCodes' tools take them: a directory as its .bufr files in name order."""
    out = []
    for name in names:
        path = corpus_dir / name
        out += sorted(str(p) for p in path.glob("*.bufr")) if path.is_dir() else [str(path)]
    return out
