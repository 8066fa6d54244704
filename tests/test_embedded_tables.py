"""The BUFR tables korvane carries (korvane/tables, made by scripts/pack-tables)
and the choice of a definitions root: argument, $ECCODES_DEFINITION_PATH, the
system's definitions, the carried tables."""

from __future__ import annotations

import csv
import io
import json
import os
import re
import subprocess
import sys
import tarfile
from pathlib import Path

import pytest

import korvane
from korvane import _korvane, _tables
from bufr_builder import build
from tablefiles import ELEMENTS, read_wmo_csv, table_dir
from test_corpus_decode import MESSAGES
from shared_data import WMO_CSV


def carried_root(cache: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    """The carried tables as resolve_definitions finds them when nothing else
    is there, unpacked (once) under `cache`."""
    monkeypatch.setenv("XDG_CACHE_HOME", str(cache))
    monkeypatch.delenv(_tables.ENVIRONMENT_VARIABLE, raising=False)
    monkeypatch.setattr(_tables, "SYSTEM_DEFINITIONS", str(cache / "no-system-definitions"))
    return _tables.resolve_definitions()


@pytest.fixture(scope="session")
def cache_home(tmp_path_factory) -> Path:
    return tmp_path_factory.mktemp("cache")


@pytest.fixture(scope="session")
def embedded_root(cache_home) -> Path:
    with pytest.MonkeyPatch.context() as mp:
        return carried_root(cache_home, mp)


def message_with_version(version: int, local_version: int = 0) -> _korvane.BufrMessage:
    return _korvane.parse_bytes(build(master_version=version, local_version=local_version))


# ---- the carried tables ----------------------------------------------------------


def fields(values) -> list[tuple]:
    return [(v.descriptor, v.name, v.raw_value, v.raw, v.raw_text, v.raw_meaning, v.data) for v in values]


def decoded(message: bytes, root: Path, header) -> list[tuple] | str:
    try:
        return fields(_korvane.decode_values_with_tables(message, _korvane.TableSet.from_definitions(str(root), header)))
    except ValueError as e:
        return f"ValueError: {e}"


@pytest.mark.parametrize("key, message, header", MESSAGES, ids=[k for k, _, _ in MESSAGES])
def test_carried_tables_decode_as_the_installed_ones(embedded_root, definitions_root, key, message, header):
    version = f"bufr/tables/{header.master_table_number}/wmo/{header.master_tables_version_number}"
    if not ((embedded_root / version).exists() and (definitions_root / version).exists()):
        pytest.skip(f"master version {header.master_tables_version_number} is not in both")
    assert decoded(message, embedded_root, header) == decoded(message, definitions_root, header)


def test_every_carried_master_version_loads(embedded_root, definitions_root):
    # Versions that are aliases of others must lead to loadable tables too,
    # and a version the installed definitions have must come out the same.
    versions = _tables.tables_info(embedded_root)["master_versions"]
    assert 45 in versions and len(versions) > 30
    for version in versions:
        message = message_with_version(version)
        carried = _korvane.TableSet.from_definitions(str(embedded_root), message)
        assert carried.element_count > 0 and carried.sequence_count > 0, version
        if (definitions_root / f"bufr/tables/0/wmo/{version}").exists():
            installed = _korvane.TableSet.from_definitions(str(definitions_root), message)
            assert repr(carried) == repr(installed), version


def test_converted_version_45_is_the_wmo_csv_tables(embedded_root):
    converted = _korvane.TableSet.from_definitions(str(embedded_root), message_with_version(45))
    direct = _korvane.TableSet.from_bufr4_45(str(WMO_CSV))
    elements, sequences = read_wmo_csv(WMO_CSV)
    assert (converted.element_count, converted.sequence_count) == (direct.element_count, direct.sequence_count)

    def element(t, code):
        e = t.get_element(code)
        return (e.code, e.element_type, e.name, e.unit, e.scale, e.reference, e.width)

    assert [element(converted, c) for c in elements] == [element(direct, c) for c in elements]
    # The WMO files name no abbreviations: each comes from the newest ecCodes
    # version carried, where the code is there.
    newest = max(v for v in _tables.tables_info(embedded_root)["master_versions"] if v != 45)
    keys = {int(code): key for code, key, *_ in
            (line.split("|") for line in (embedded_root / f"bufr/tables/0/wmo/{newest}/element.table")
             .read_text().splitlines() if not line.startswith("#"))}
    assert [converted.get_element(c).abbreviation for c in elements] == [keys.get(c, "") for c in elements]
    assert sum(keys.get(c, "") != "" for c in elements) > 0.9 * len(elements)
    assert [converted.get_sequence(c).members for c in sequences] == [direct.get_sequence(c).members for c in sequences]

    # Code and flag tables: every entry with a single number, white space folded.
    entries = {}
    for path in sorted(WMO_CSV.glob("BUFRCREX_CodeFlag_en_*.csv")):
        with path.open(encoding="utf-8", newline="") as f:
            for row in list(csv.reader(f))[1:]:
                if row and row[2].isdigit() and row[3].strip():
                    entries[int(row[0]), int(row[2])] = " ".join(row[3].split())
    assert len(entries) > 4000
    assert {k: converted.get_meaning(*k) for k in entries} == entries
    assert converted.get_meaning(8042, 18) is None  # "All 18" is no key


# ---- where the tables come from ---------------------------------------------------


def definitions(path: Path) -> Path:
    table_dir(path / "bufr" / "tables" / "0" / "wmo" / "13")
    return path


@pytest.mark.parametrize("argument, environment, system, expected", [
    ("arg", "env", "sys", "argument"),
    (None, ["nothing", "{tmp}/bare", "env", "sys"], "sys", "environment"),
    (None, [], "sys", "system"),
    (None, ["nothing", "{tmp}/bare"], "sys", "system"),
    (None, None, "nothing", "embedded"),
])
def test_where_the_tables_come_from(cache_home, embedded_root, tmp_path, monkeypatch,
                                    argument, environment, system, expected):
    for name in ("arg", "env", "sys"):
        definitions(tmp_path / name)
    (tmp_path / "bare").mkdir()
    monkeypatch.chdir(tmp_path)  # the relative entries name these
    monkeypatch.setenv("XDG_CACHE_HOME", str(cache_home))
    if environment is None:
        monkeypatch.delenv(_tables.ENVIRONMENT_VARIABLE, raising=False)
    else:
        monkeypatch.setenv(_tables.ENVIRONMENT_VARIABLE, os.pathsep.join(environment).format(tmp=tmp_path))
    monkeypatch.setattr(_tables, "SYSTEM_DEFINITIONS", str(tmp_path / system))
    arg = None if argument is None else tmp_path / argument

    root = _tables.resolve_definitions(arg)
    want = embedded_root if expected == "embedded" else {
        "argument": tmp_path / "arg", "environment": Path("env"), "system": tmp_path / "sys"}[expected]
    assert root == want
    info = korvane.tables_info(arg)
    assert (info["source"], info["root"]) == (expected, root)
    if expected == "embedded":
        assert info["eccodes_release"] and 45 in info["master_versions"]
    else:
        assert info["master_versions"] == [13]


@pytest.mark.parametrize("make, message", [
    (lambda p: p / "missing", "does not exist"),
    (lambda p: (p / "file").write_text("x") and p / "file", "does not exist or is not a directory"),
    (lambda p: p, "no bufr/tables"),
])
def test_a_named_root_must_hold_tables(tmp_path, make, message):
    path = make(tmp_path)
    with pytest.raises(FileNotFoundError) as e:
        _tables.resolve_definitions(str(path))
    assert message in str(e.value) and str(path) in str(e.value)


def test_import_is_cheap_and_unpacks_nothing(tmp_path):
    env = dict(os.environ, XDG_CACHE_HOME=str(tmp_path))
    code = "import sys, korvane; print(sorted(m for m in ('tarfile', 'lzma', 'pathlib', 'json') if m in sys.modules))"
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "[]"
    assert list(tmp_path.iterdir()) == []


# ---- unpacking, on a small archive --------------------------------------------------


def small_archive(directory: Path, extra: list[tuple[str, bytes | str]] = ()) -> Path:
    """An archive like the carried one: directories, files, a hard link.
    `extra` adds members: bytes for a file, a str for a symbolic link."""
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w") as tar:
        base = "bufr/tables/0/wmo/13"
        for d in ("bufr", "bufr/tables", "bufr/tables/0", "bufr/tables/0/wmo", base, "bufr/tables/0/wmo/14"):
            info = tarfile.TarInfo(d)
            info.type = tarfile.DIRTYPE
            tar.addfile(info)
        members = [(f"{base}/element.table", ELEMENTS.encode()), (f"{base}/sequence.def", b'"301001" = [ 001001 ]\n')]
        for name, data in [*members, *extra]:
            info = tarfile.TarInfo(name)
            if isinstance(data, str):
                info.type, info.linkname = tarfile.SYMTYPE, data
                tar.addfile(info)
            else:
                info.size = len(data)
                tar.addfile(info, io.BytesIO(data))
        for name, _ in members:  # version 14: the same files
            info = tarfile.TarInfo(name.replace("/13/", "/14/"))
            info.type, info.linkname = tarfile.LNKTYPE, name
            tar.addfile(info)
    import lzma

    directory.mkdir()
    (directory / "small.tar.xz").write_bytes(lzma.compress(raw.getvalue()))
    index = {"archive": "small.tar.xz", "sha256": "0123456789abcdef" * 4, "eccodes_release": "9.9.9",
             "master_versions": [13]}
    (directory / "index.json").write_text(json.dumps(index))
    return directory


@pytest.fixture
def small(tmp_path, monkeypatch):
    """Resolution with only a small carried archive, cache in tmp_path/cache."""
    monkeypatch.setattr(_tables, "PACKAGED_TABLES", str(small_archive(tmp_path / "package")))
    monkeypatch.setattr(_tables, "_unpacked", {})
    monkeypatch.setattr(_tables, "SYSTEM_DEFINITIONS", str(tmp_path / "nothing"))
    monkeypatch.delenv(_tables.ENVIRONMENT_VARIABLE, raising=False)
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))
    return tmp_path / "cache" / "korvane"


def test_unpacked_once_into_the_user_cache(small, monkeypatch):
    extractions = []
    extract = _tables._extract
    monkeypatch.setattr(_tables, "_extract", lambda a, r: (extractions.append(r), extract(a, r)))
    root = _tables.resolve_definitions()
    assert root == small / "tables-9.9.9-0123456789abcdef"
    tables = _korvane.TableSet.from_definitions(str(root), message_with_version(14))
    assert (tables.element_count, tables.sequence_count) == (4, 1)
    # Later uses, in this process and in a new one (a fresh memo), unpack nothing.
    monkeypatch.setattr(_tables, "_unpacked", {})
    assert _tables.resolve_definitions() == _tables.resolve_definitions() == root
    assert len(extractions) == 1
    assert [p.name for p in small.iterdir()] == [root.name]


def test_a_lost_race_keeps_the_winners_tables(small, monkeypatch):
    # Another process finishes unpacking while this one is still at it.
    extract = _tables._extract

    def racing(archive, work):
        extract(archive, work)
        monkeypatch.setattr(_tables, "_extract", extract)
        _tables._unpack(archive, small / "tables-9.9.9-0123456789abcdef", "0123456789abcdef" * 4)
        (small / "tables-9.9.9-0123456789abcdef" / "winner").write_text("")

    monkeypatch.setattr(_tables, "_extract", racing)
    root = _tables.resolve_definitions()
    assert (root / "winner").exists() and (root / "bufr/tables/0/wmo/13/element.table").exists()
    assert [p.name for p in small.iterdir()] == [root.name]  # no work directory left


@pytest.mark.parametrize("extra", [
    [("../outside", b"x")],
    [("/absolute", b"x")],
    [("bufr/tables/0/wmo/15", "13")],
])
def test_an_archive_reaching_outside_is_refused(tmp_path, monkeypatch, extra):
    monkeypatch.setattr(_tables, "PACKAGED_TABLES", str(small_archive(tmp_path / "package", extra)))
    monkeypatch.setattr(_tables, "_unpacked", {})
    monkeypatch.setattr(_tables, "SYSTEM_DEFINITIONS", str(tmp_path / "nothing"))
    monkeypatch.delenv(_tables.ENVIRONMENT_VARIABLE, raising=False)
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))
    with pytest.raises(ValueError, match="korvane's table archive"):
        _tables.resolve_definitions()
    assert list((tmp_path / "cache" / "korvane").iterdir()) == []
    assert not (tmp_path / "outside").exists()


TARGET = "tables-9.9.9-0123456789abcdef"


@pytest.mark.parametrize("plant", ["target", "base"])
def test_a_planted_link_is_not_followed(small, tmp_path, plant):
    # Another user's tables (a scale that reads 270.85 K as 26085.0) behind a link.
    theirs = table_dir(tmp_path / "theirs" / "bufr/tables/0/wmo/13", element=ELEMENTS.replace("|2|0|16", "|0|0|16"))
    if plant == "target":
        small.mkdir(parents=True, mode=0o700)
        (small / TARGET).symlink_to(theirs.parent.parent.parent.parent.parent)
    else:
        small.parent.mkdir(parents=True)
        small.symlink_to(tmp_path / "theirs")
    with pytest.raises(OSError, match="link"):
        _tables.resolve_definitions()


def test_the_cache_is_private_and_cleans_after_killed_unpacks(small):
    small.mkdir(parents=True)
    os.chmod(small, 0o777)
    stale = small / f".{TARGET}-killed"
    (stale / "bufr").mkdir(parents=True)
    os.utime(stale, (0, 0))
    fresh = small / f".{TARGET}-running"  # another process still at work
    fresh.mkdir()
    half = small / TARGET  # a tree without its marker
    (half / "bufr").mkdir(parents=True)
    root = _tables.resolve_definitions()
    assert root == half and (root / "bufr/tables/0/wmo/13/element.table").exists()
    assert sorted(p.name for p in small.iterdir()) == sorted([TARGET, fresh.name])
    assert os.stat(small).st_mode & 0o777 == 0o700


def test_a_damaged_tree_is_unpacked_again(small):
    root = _tables.resolve_definitions()
    (root / "bufr/tables/0/wmo/13/element.table").unlink()
    message = build(master_version=13, descriptors=[1001], data=b"\x0e")
    assert korvane.open(message)[0].decode().value.tolist() == [7.0]
    assert (root / "bufr/tables/0/wmo/13/element.table").exists()
