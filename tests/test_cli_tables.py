"""korvane expand and korvane table, run as a user would run them."""

from __future__ import annotations

import subprocess
import sys

import pytest

from korvane import cli
from tablefiles import table_dir
from test_embedded_tables import cache_home, carried_root  # noqa: F401 (a fixture)


def korvane(*args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", "korvane", *args], capture_output=True, text=True, timeout=120)


@pytest.fixture
def tables(tmp_path) -> str:
    return str(table_dir(tmp_path / "t", sequence='"301001" = [ 001001, 001002 ]\n"301004" = [ 101002, 301001 ]\n',
                         codetables={"1003.table": "2 2 REGION II\n"}))


def test_expand(tables):
    r = korvane("expand", "--tables", tables, "301004", "2-04-008", "0-12-001", "31021")
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == [
        "001001  WMO BLOCK NUMBER",
        "001002  WMO STATION NUMBER",
        "001001  WMO BLOCK NUMBER",
        "001002  WMO STATION NUMBER",
        "999999  (associated field)",
        "012001  TEMPERATURE",
        "031021",
    ]


def test_table_shows_elements_sequences_and_meanings(tables):
    r = korvane("table", "--tables", tables, "12001")
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == [
        "element 012001",
        "  abbreviation  temperature",
        "  element_type  double",
        "  name          TEMPERATURE",
        "  unit          K",
        "  scale         1",
        "  reference     0",
        "  width         12",
    ]
    r = korvane("table", "--tables", tables, "3-01-001")
    assert r.stdout.splitlines() == ["sequence 301001: 2 members", "  001001  WMO BLOCK NUMBER", "  001002  WMO STATION NUMBER"]
    r = korvane("table", "--tables", tables, "001003", "2")
    assert (r.returncode, r.stdout) == (0, "REGION II\n")


@pytest.mark.parametrize(
    "args, text",
    [
        (["table", "1003", "5"], "korvane: no meaning for 5 in the code table of 001003\n"),
        (["table", "1003", "-5"], "korvane: invalid raw value '-5': give an unsigned integer\n"),
        (["table", "309999"], "korvane: descriptor 309999 is neither in Table B nor in Table D of these tables\n"),
        (["expand", "x1"], "korvane: invalid descriptor code 'x1': write it as 301001 or 3-01-001\n"),
        (["expand", "4-01-001"], "korvane: invalid descriptor code '4-01-001': write it as 301001 or 3-01-001\n"),
        (["expand", "309999"], "korvane: descriptor 309999 was not found in Table D\n"),
    ],
)
def test_errors_go_to_stderr(tables, args, text):
    r = korvane(*args, "--tables", tables)
    assert (r.returncode, r.stdout, r.stderr) == (1, "", text)


def test_table_directory_errors():
    r = korvane("expand", "--tables", "/nonexistent", "1001")
    assert (r.returncode, r.stderr) == (1, "korvane: /nonexistent: csv/table parse error: No such file or directory (os error 2)\n")
    r = korvane("table", "--wmo-csv", "/nonexistent", "1001")
    assert (r.returncode, r.stderr) == (1, "korvane: /nonexistent: io error: No such file or directory (os error 2)\n")


def test_definitions_root(definitions_root):
    r = korvane("table", "--definitions", str(definitions_root), "--master-version", "13", "020096")
    assert r.returncode == 0, r.stderr
    assert '  name          ICE AGE ("A" PARAMETER)' in r.stdout.splitlines()
    # Local tables of centre 98 hold 0 01 211; the WMO tables do not.
    local = ["--master-version", "13", "--local-version", "101", "--centre", "98", "1211"]
    assert korvane("table", *local).returncode == 0
    r = korvane("table", *local[:-3], "1211")
    assert r.returncode == 1 and "neither in Table B nor in Table D" in r.stderr
    r = korvane("table", "--master-version", "99", "1001")
    assert r.returncode == 1 and r.stderr == (
        f"korvane: ecCodes table directory does not exist: {definitions_root}/bufr/tables/0/wmo/99\n"
    )
    r = korvane("table", "--master-version", "300", "1001")
    assert (r.returncode, r.stderr) == (1, "korvane: --master-version must lie in 0..255, not 300\n")
    # Without a version, the newest installed one.
    newest = max(int(p.name) for p in (definitions_root / "bufr/tables/0/wmo").iterdir() if p.name.isdigit())
    assert korvane("table", "1001").stdout == korvane("table", "--master-version", str(newest), "1001").stdout


def test_wmo_csv(corpus_dir):
    r = korvane("table", "--wmo-csv", str(corpus_dir.parent / "wmo-bufr4-v45"), "001001")
    assert r.returncode == 0 and "  name          WMO block number" in r.stdout.splitlines()


def test_without_a_definitions_root_the_carried_tables_answer(tmp_path, monkeypatch, capsys, cache_home):
    monkeypatch.setattr(cli, "DEFAULT_DEFINITIONS", str(tmp_path / "absent"))
    root = carried_root(cache_home, monkeypatch)
    assert cli.main(["table", "1001"]) == 0
    out, err = capsys.readouterr()
    assert cli.main(["table", "--definitions", str(root), "1001"]) == 0
    assert (out, err) == capsys.readouterr() and "width         7" in out


def test_table_source_options_exclude_each_other(tables):
    r = korvane("table", "--tables", tables, "--wmo-csv", tables, "1001")
    assert r.returncode == 2 and "not allowed with argument" in r.stderr
