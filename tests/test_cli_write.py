"""The commands that write BUFR: copy and split against ecCodes' bufr_copy,
set read back by ecCodes, encode against korvane.write_bufr, and outputs
that are never left half written."""

from __future__ import annotations

import json
import os
import subprocess

import pytest

from clirun import COMMAND, EXPECTED, corpus_files, eccodes_tool, korvane


def _files(directory) -> dict[str, bytes]:
    return {p.name: p.read_bytes() for p in sorted(directory.iterdir())}


@pytest.mark.parametrize("case", EXPECTED["copy_vs_bufr_copy"], ids=lambda c: " ".join(c["korvane"]) or c["output"])
def test_copy_chooses_and_splits_as_bufr_copy(corpus_dir, tmp_path, case):
    files = corpus_files(corpus_dir, case["files"])
    output = case.get("output", "out.bufr")
    ours, theirs = tmp_path / "korvane", tmp_path / "ecCodes"
    ours.mkdir()
    theirs.mkdir()
    r = korvane("copy", *case["korvane"], *files, str(ours / output))
    assert r.returncode == 0, r.stderr
    e = eccodes_tool("bufr_copy", *case["bufr_copy"], *files, str(theirs / case.get("bufr_output", output)))
    assert e.returncode == 0, e.stderr
    got, want = _files(ours), _files(theirs)
    assert list(got) == list(want)
    assert all(want.values()), "the case chooses no message"
    for name in want:
        assert got[name] == want[name], name


def test_split_writes_each_message_byte_for_byte(corpus_dir, tmp_path):
    files = [str(corpus_dir / "ed4" / "aben_55.bufr"), str(corpus_dir / "ed3" / "syno_4.bufr")]
    r = korvane("split", "-m", "0,9..", *files, str(tmp_path / "parts"))
    assert (r.returncode, r.stderr) == (0, "")
    parts = _files(tmp_path / "parts")
    listed = [json.loads(line) for line in korvane("ls", "--json", *files).stdout.splitlines()]
    width = {m["file"]: len(str(m["message"])) for m in listed}  # the width of each file's last number
    want = {}
    for m in listed:
        if m["message"] == 0 or m["message"] >= 9:
            with open(m["file"], "rb") as f:
                f.seek(m["offset"])
                stem = os.path.basename(m["file"]).removesuffix(".bufr")
                want[f"{stem}_{m['message']:0{width[m['file']]}d}.bufr"] = f.read(m["length"])
    assert list(parts) == sorted(want) and parts == want


def test_copy_subsets_keeps_the_chosen_subsets(corpus_dir, tmp_path):
    import korvane as k

    pytest.importorskip("pandas")
    source = corpus_dir / "ed4" / "ISMD01_OKPR.bufr"
    out = tmp_path / "two.bufr"
    r = korvane("copy", "-w", "stationNumber=423,518", "--subsets", str(source), str(out))
    assert (r.returncode, r.stderr) == (0, "")
    assert [m.number_of_subsets for m in k.open(out)] == [2] * 4
    columns = ["message_index", "stationNumber", "airTemperature", "pressureReducedToMeanSeaLevel"]
    got = k.read_bufr(out, columns)
    want = k.read_bufr(source, columns, filters={"stationNumber": [423, 518]})
    assert got.astype(str).values.tolist() == want.astype(str).values.tolist()
    r = korvane("copy", "--subsets", str(source), str(out))
    assert r.returncode == 2 and "--subsets" in r.stderr


def _eccodes_keys(path, keys: list[str]) -> list[dict]:
    """The keys of every message of a file as ecCodes reads them (data keys unpacked)."""
    script = (
        "import eccodes, json, sys\n"
        "def get(h, k):\n"
        "    if eccodes.codes_get_size(h, k) == 1:\n"
        "        return eccodes.codes_get(h, k)\n"
        "    v = eccodes.codes_get_array(h, k)\n"
        "    return v.tolist() if hasattr(v, 'tolist') else list(v)\n"
        "out = []\n"
        "with open(sys.argv[1], 'rb') as f:\n"
        "    while (h := eccodes.codes_bufr_new_from_file(f)) is not None:\n"
        "        eccodes.codes_set(h, 'unpack', 1)\n"
        "        out.append({k: get(h, k) for k in sys.argv[2:]})\n"
        "        eccodes.codes_release(h)\n"
        "print(json.dumps(out))\n"
    )
    r = subprocess.run(["/usr/bin/python3", "-c", script, str(path), *keys], capture_output=True, text=True)
    assert r.returncode == 0, r.stderr[-2000:]
    return json.loads(r.stdout)


@pytest.mark.parametrize("keys", ["dataCategory=9,updateSequenceNumber=3,typicalHour=7",
                                  "masterTablesVersionNumber=30,bufrHeaderSubCentre=5,typicalMinute=59"])
def test_set_writes_header_keys_as_bufr_set(corpus_dir, tmp_path, keys):
    files = corpus_files(corpus_dir, ["ed3", "ed4/ISMD01_OKPR.bufr", "ed4/ISND02_LLBD.bufr", "ed4/uegabe.bufr"])
    r = korvane("set", "-s", keys, *files, str(tmp_path / "korvane.bufr"))
    assert (r.returncode, r.stderr) == (0, "")
    e = eccodes_tool("bufr_set", "-s", keys, *files, str(tmp_path / "ecCodes.bufr"))
    assert e.returncode == 0, e.stderr
    assert (tmp_path / "korvane.bufr").read_bytes() == (tmp_path / "ecCodes.bufr").read_bytes()


def _same(a, b) -> bool:
    """Equal, numbers within a few units in the last place (ecCodes multiplies by 10**-scale)."""
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(_same(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return isinstance(b, list) and len(a) == len(b) and all(map(_same, a, b))
    if isinstance(a, float) or isinstance(b, float):
        return a == pytest.approx(b, rel=1e-14)
    return a == b


@pytest.mark.parametrize("case", EXPECTED["set"], ids=lambda c: f"{c['file']} {c['set']}")
def test_set_is_read_back_by_ecCodes(corpus_dir, tmp_path, case):
    import korvane as k

    source = corpus_dir / case["file"]
    out = tmp_path / "set.bufr"
    r = korvane("set", "-s", case["set"], *case.get("select", []), str(source), str(out))
    assert (r.returncode, r.stderr) == (0, "")
    keys = [*case["want"], *case["same"]]
    before, after = _eccodes_keys(source, keys), _eccodes_keys(out, keys)
    chosen = case.get("messages", range(len(before)))
    assert len(after) == len(before)
    for i, (old, new) in enumerate(zip(before, after)):
        assert _same(new, {**old, **case["want"]} if i in chosen else old), (i, new)
    if case.get("section1_only"):
        # Only section 1 changed: every other byte of each message is as it was.
        for m, n in zip(k.open(source), k.open(out)):
            end = 8 + m.header["section1_length"]
            assert (len(n.bytes), n.bytes[:8], n.bytes[end:]) == (len(m.bytes), m.bytes[:8], m.bytes[end:])


@pytest.mark.parametrize("args, text", [
    (["-s", "typicalYear=1999"], "cannot set typicalYear: 1999 cannot be written in edition 3: it reads back as 2099"),
    (["-s", "internationalDataSubCategory=5"],
     "cannot set internationalDataSubCategory: 5 cannot be written in edition 3: the edition has no such field"),
    (["-s", "bufrHeaderCentre=300"], "cannot set bufrHeaderCentre: originating_centre 300 does not fit its octet"),
    (["-s", "airTemperature=1000"], "cannot set airTemperature: subset 0, item 21: value 1000.0 of element 012101"),
    (["-s", "#2#airTemperature=280"], "cannot set #2#airTemperature: the message has no such item"),
    (["-m", "3", "-s", "stationOrSiteName=A,stationNumber=x"], "cannot set stationNumber: takes a number"),
])
def test_a_value_that_cannot_be_set_leaves_the_output_as_it_was(corpus_dir, tmp_path, args, text):
    out = tmp_path / "out.bufr"
    out.write_bytes(b"old contents")
    r = korvane("set", *args, str(corpus_dir / "ed3" / "bssh_176.bufr"), str(out))
    assert r.returncode == 1 and r.stdout == ""
    assert text in r.stderr and r.stderr.endswith("; nothing written\n") and len(r.stderr.splitlines()) == 1
    assert out.read_bytes() == b"old contents"
    assert os.listdir(tmp_path) == ["out.bufr"]  # no temporary file left


def test_outputs_replace_files_whole_and_a_closed_pipe_ends_quietly(corpus_dir, tmp_path):
    import korvane as k

    source = corpus_dir / "ed4" / "mhen_55.bufr"
    out = tmp_path / "out.bufr"
    out.write_bytes(b"x" * 10)
    os.chmod(out, 0o640)
    r = korvane("copy", str(source), str(out))
    assert r.returncode == 0 and out.read_bytes() == bytes(k.open(source)[0].bytes)
    assert os.stat(out).st_mode & 0o777 == 0o640 and os.listdir(tmp_path) == ["out.bufr"]
    # Through a symbolic link, the file it names is replaced and the link kept.
    (tmp_path / "link.bufr").symlink_to(out)
    assert korvane("copy", "-m", "0", str(corpus_dir / "ed4" / "uegabe.bufr"), str(tmp_path / "link.bufr")).returncode == 0
    assert (tmp_path / "link.bufr").is_symlink() and out.read_bytes()[:4] == b"BUFR" and len(out.read_bytes()) == 494
    p = subprocess.Popen([*COMMAND, "copy", str(source), str(source), "-"], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE)
    assert p.stdout.read(4) == b"BUFR"
    p.stdout.close()
    assert (p.wait(timeout=120), p.stderr.read()) == (0, b"")
    p.stderr.close()


def test_damaged_messages_are_reported_and_not_copied(corpus_dir, tmp_path):
    good = (corpus_dir / "ed4" / "ISMD01_OKPR.bufr").read_bytes()
    first, second = good[31:31 + 692], good[758:758 + 714]
    source = tmp_path / "damaged.bufr"
    source.write_bytes(first + second[:500] + first)
    r = korvane("copy", str(source), str(tmp_path / "out.bufr"))
    assert r.returncode == 1
    assert r.stderr.splitlines() == [f"korvane: {source}: message 1 at offset 692: the message does not end with 7777"]
    assert (tmp_path / "out.bufr").read_bytes() == first + first


def test_encode_writes_what_write_bufr_writes(corpus_dir, tmp_path):
    import korvane as k

    pd = pytest.importorskip("pandas")
    source = corpus_dir / "ed4" / "ISMD01_OKPR.bufr"
    columns = ["blockNumber", "stationNumber", "stationOrSiteName", "year", "month", "day", "hour", "minute",
               "latitude", "longitude", "airTemperature"]
    table = tmp_path / "t.csv"
    assert korvane("convert", str(source), "--columns", ",".join(columns), "-o", str(table)).returncode == 0
    out = tmp_path / "t.bufr"
    r = korvane("encode", "--template", "307080", str(table), "-o", str(out), "-s", "bufrHeaderCentre=89",
                "--subsets-per-message", "10", "--compressed")
    assert (r.returncode, r.stderr) == (0, "")
    frame = pd.read_csv(table, keep_default_na=False, na_values=[""])
    frame["stationOrSiteName"] = frame["stationOrSiteName"].astype(object)
    k.write_bufr(frame, 307080, tmp_path / "api.bufr", originating_centre=89, subsets_per_message=10,
                 compressed=True)
    assert out.read_bytes() == (tmp_path / "api.bufr").read_bytes()
    assert [m.number_of_subsets for m in k.open(out)] == [10, 10, 8]
    back = k.read_bufr(out, columns)
    assert back.astype(str).values.tolist() == k.read_bufr(source, columns).astype(str).values.tolist()
    r = korvane("encode", "--template", "307080", str(table), "-o", str(out), "-s", "bogusKey=1")
    assert r.returncode == 2 and out.read_bytes() == (tmp_path / "api.bufr").read_bytes()
