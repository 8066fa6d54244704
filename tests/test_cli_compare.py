"""korvane compare against ecCodes' bufr_compare: the same verdict, and the
same items named, on a file and copies of it that differ in one value, text,
missing value or the number of messages."""

from __future__ import annotations

import re

import numpy as np
import pytest

from clirun import eccodes_tool, korvane

SOURCE = "ed3/bssh_176.bufr"  # 26 messages of one uncompressed subset each, station names among their items


def _variant(corpus_dir, tmp_path, change: str | None):
    """The source with message 3 changed (None: the source written again by korvane)."""
    import korvane as k

    f = k.open(corpus_dir / SOURCE)
    messages = [bytes(m.bytes) for m in f]
    m = f[3]
    v = m.decode()
    keys = np.array([v.key(c) for c in v.code])

    def item(key: str, rank: int = 1) -> int:
        return int(np.flatnonzero((keys == key) & ~v.missing)[rank - 1])

    if change == "count":
        messages = messages[:-1]
    elif change is not None:
        i, value = {
            "value": lambda: (item("airTemperature"), v.value[item("airTemperature")] + 0.5),
            "text": lambda: (item("stationOrSiteName"), "Helgoland Dune"),
            "missing": lambda: (item("nonCoordinatePressure"), None),
            "ranked": lambda: (item("cloudType", 4), v.value[item("cloudType", 4)] + 1),
        }[change]()
        messages[3] = m.encode(v.replace(i, value))
    else:
        messages = [m.encode() for m in f]
    path = tmp_path / f"{change}.bufr"
    path.write_bytes(b"".join(messages))
    return path


def _theirs(text: str) -> set[tuple[int, str]]:
    """(message, ranked key) of each difference bufr_compare reports."""
    out = set()
    for number, key in re.findall(r"^== (\d+) == DIFFERENCE == \w+ \[([^\]]+)\]", text, re.M):
        out.add((int(number) - 1, key if key.startswith("#") else f"#1#{key}"))
    return out


def _ours(text: str) -> set[tuple[int, str]]:
    return {(int(n), key) for n, key in re.findall(r"^message (\d+) subset \d+ (#\d+#\w+):", text, re.M)}


@pytest.mark.parametrize("change", [None, "value", "text", "missing", "ranked", "count"])
def test_compare_agrees_with_bufr_compare(corpus_dir, tmp_path, change):
    source = corpus_dir / SOURCE
    other = _variant(corpus_dir, tmp_path, change)
    theirs = eccodes_tool("bufr_compare", str(source), str(other))
    ours = korvane("compare", str(source), str(other))
    assert ours.stderr == ""
    assert ours.returncode == theirs.returncode == (0 if change is None else 1)
    assert _ours(ours.stdout) == _theirs(theirs.stdout)
    if change is None:
        assert ours.stdout == ""
    elif change == "count":
        assert "1 more messages in" in theirs.stdout
        assert ours.stdout.splitlines() == [
            "message 25: only in A",
            "# 25 messages compared, 0 differ: 0 differences (values 0, missing 0, texts 0, codes 0, header 0); "
            "1 message only in A"]
    else:
        assert len(_ours(ours.stdout)) == 1
        kind = {"value": "values 1", "text": "texts 1", "missing": "missing 1", "ranked": "values 1"}[change]
        assert ours.stdout.splitlines()[-1].startswith("# 26 messages compared, 1 differs: 1 difference (")
        assert kind in ours.stdout.splitlines()[-1]
        # Within a tolerance, a value's difference is none.
        if change in ("value", "ranked"):
            key = "airTemperature" if change == "value" else "cloudType"
            assert korvane("compare", f"--tolerance={key}=1", str(source), str(other)).returncode == 0
            assert korvane("compare", "--tolerance", "0.1", str(source), str(other)).returncode == 1


def test_compare_by_key_where_items_differ(corpus_dir):
    """Subsets of other replication counts are compared by key and rank;
    an unreadable input is trouble (status 2), as a usage error is."""
    ed4 = corpus_dir / "ed4"
    r = korvane("compare", "--brief", str(ed4 / "IUSK73_AMMC_040000.bufr"), str(ed4 / "IUSK73_AMMC_182300.bufr"))
    assert r.returncode == 1 and len(r.stdout.splitlines()) == 1
    counts = dict(re.findall(r"(\w+) (\d+)[,)]", r.stdout))
    assert int(counts["codes"]) > 0 and int(counts["header"]) > 0
    r = korvane("compare", "-m", "1", str(ed4 / "aaen_55.bufr"), str(ed4 / "aaen_55.bufr"))
    assert (r.returncode, r.stdout) == (0, "")
    assert korvane("compare", str(ed4 / "aaen_55.bufr"), str(ed4 / "missing.bufr")).returncode == 2
