"""Where the BUFR tables come from: an ecCodes definitions root.

The root is, in this order: the one the caller names; the first entry of
$ECCODES_DEFINITION_PATH that holds bufr/tables; the system's ecCodes
definitions; or the tables korvane carries (korvane/tables), unpacked on first
use into a per-user cache directory and read from there afterwards.
"""

from __future__ import annotations

import os
import threading
import warnings

# pathlib (and typing) are imported where they are used: either would
# multiply the time that `import korvane` takes.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from pathlib import Path
    from typing import Any

    from korvane._korvane import TableSet

# The definitions of Debian's and Ubuntu's libeccodes-data.
SYSTEM_DEFINITIONS = "/usr/share/eccodes/definitions"
ENVIRONMENT_VARIABLE = "ECCODES_DEFINITION_PATH"
# The tables korvane carries: an archive and its index (see scripts/pack-tables).
PACKAGED_TABLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "tables")

_unpacked: dict[str, Path] = {}  # archive -> unpacked root, for this process


def _has_tables(root: str | os.PathLike[str]) -> bool:
    return os.path.isdir(os.path.join(root, "bufr", "tables"))


def _read_index() -> dict[str, Any]:
    import json

    path = os.path.join(PACKAGED_TABLES, "index.json")
    try:
        with open(path, encoding="utf-8") as f:
            return json.load(f)
    except OSError as e:
        raise FileNotFoundError(
            f"korvane carries no BUFR tables ({path}: {e.strerror}); give a definitions root, "
            f"set {ENVIRONMENT_VARIABLE}, or install ecCodes' definitions (libeccodes-data)") from None


def _cache_home() -> Path:
    from pathlib import Path

    # XDG: a relative $XDG_CACHE_HOME is to be ignored.
    xdg = os.environ.get("XDG_CACHE_HOME", "")
    if xdg and os.path.isabs(xdg):
        return Path(xdg)
    return Path.home() / ".cache"


def _member_path(root: str, name: str) -> str:
    # Names are relative, without "." or ".." steps: nothing lands outside root.
    parts = name.split("/")
    if not name or name.startswith("/") or any(p in ("", ".", "..") or "\\" in p for p in parts):
        raise ValueError(f"unsafe name in korvane's table archive: {name!r}")
    return os.path.join(root, *parts)


def _extract(archive: str, root: str) -> None:
    """Extracts the table archive into the empty directory `root`. The
    archive holds directories, files and hard links to earlier files only.
    Extracting member by member with tarfile's own filters takes seconds for
    the eighteen thousand members; this takes a fraction of that."""
    import io
    import lzma
    import shutil
    import tarfile

    with open(archive, "rb") as f:
        raw = lzma.decompress(f.read())
    with tarfile.open(fileobj=io.BytesIO(raw), mode="r:") as tar:
        for m in tar:
            path = _member_path(root, m.name)
            if m.isdir():
                os.makedirs(path, exist_ok=True)
            elif m.isreg():
                with open(path, "xb") as out:
                    out.write(raw[m.offset_data : m.offset_data + m.size])
            elif m.islnk():
                source = _member_path(root, m.linkname)
                try:
                    os.link(source, path)
                except OSError:  # a file system without hard links
                    shutil.copyfile(source, path)
            else:
                raise ValueError(f"unexpected member in korvane's table archive: {m.name!r}")


# Written last into an unpacked tree, holding the archive's hash: a tree
# without it (an unpack killed half way, a damaged one) is unpacked again.
_MARKER = ".korvane-complete"
# Work directories of unpacks older than this were left by a killed process.
_STALE_SECONDS = 3600


def _private_directory(path: Path) -> None:
    """Makes `path` when missing (mode 0700) and checks that it is a directory
    of this user's that no one else can write: the carried tables are read
    from under it, so a link or a directory another user controls there could
    put other tables in their place."""
    import stat

    os.makedirs(path, mode=0o700, exist_ok=True)
    st = os.lstat(path)
    if stat.S_ISLNK(st.st_mode) or not stat.S_ISDIR(st.st_mode):
        raise OSError(f"{path} is not a directory but a link or a file; korvane does not unpack its tables "
                      f"through it (set XDG_CACHE_HOME to a directory of your own)")
    if st.st_uid != os.geteuid():
        raise OSError(f"{path} belongs to another user; korvane does not read its tables from there "
                      f"(set XDG_CACHE_HOME to a directory of your own)")
    if st.st_mode & 0o022:
        os.chmod(path, 0o700)


def _complete(target: Path, digest: str) -> bool:
    """Whether `target` is a finished unpack of the archive of `digest`: a
    directory of this user's (not a link) holding the marker with that hash."""
    import stat

    try:
        st = os.lstat(target)
    except FileNotFoundError:
        return False
    if stat.S_ISLNK(st.st_mode) or not stat.S_ISDIR(st.st_mode) or st.st_uid != os.geteuid():
        raise OSError(f"{target} is not a directory of korvane's: a link, a file or another user's; "
                      f"korvane does not read tables from it (remove it)")
    try:
        fd = os.open(target / _MARKER, os.O_RDONLY | os.O_NOFOLLOW)
    except OSError:
        return False
    with os.fdopen(fd, encoding="ascii", errors="replace") as f:
        return f.read().strip() == digest


def _remove_stale(base: Path, prefix: str) -> None:
    """Removes the work directories of unpacks that a killed process left."""
    import shutil
    import time

    for entry in os.scandir(base):
        if not entry.name.startswith(prefix):
            continue
        try:
            st = entry.stat(follow_symlinks=False)
        except OSError:
            continue
        if st.st_uid == os.geteuid() and time.time() - st.st_mtime > _STALE_SECONDS:
            shutil.rmtree(entry.path, ignore_errors=True)


def _unpack(archive: str, target: Path, digest: str) -> None:
    """Unpacks `archive` as `target`, atomically: into a fresh private
    directory beside it, marked complete, then renamed. When several processes
    race, one rename wins and the others find the finished tree and drop their
    own copy. A tree left incomplete or damaged is moved aside and removed."""
    import shutil
    import tempfile
    from pathlib import Path

    work = Path(tempfile.mkdtemp(prefix=f".{target.name}-", dir=target.parent))
    try:
        _extract(archive, str(work))
        with open(work / _MARKER, "x", encoding="ascii") as f:
            f.write(digest + "\n")
        for _ in range(2):
            try:
                os.rename(work, target)
                return
            except OSError:
                if _complete(target, digest):
                    return  # another process finished first
                # An incomplete tree of ours: out of the way, then try again.
                old = Path(tempfile.mkdtemp(prefix=f".{target.name}-", dir=target.parent))
                os.rename(target, old / "old")
                shutil.rmtree(old, ignore_errors=True)
        raise OSError(f"cannot put korvane's unpacked tables at {target}")
    finally:
        if work.exists():
            shutil.rmtree(work, ignore_errors=True)


def _embedded_root() -> Path:
    index = _read_index()
    archive = os.path.join(PACKAGED_TABLES, index["archive"])
    if archive in _unpacked:
        return _unpacked[archive]
    release = index.get("eccodes_release") or "unknown"
    base = _cache_home() / "korvane"
    target = base / f"tables-{release}-{index['sha256'][:16]}"
    try:
        _private_directory(base)
        if not _complete(target, index["sha256"]):
            _remove_stale(base, f".{target.name}-")
            _unpack(archive, target, index["sha256"])
    except OSError as e:
        raise OSError(
            e.errno, f"cannot unpack korvane's BUFR tables into {target} ({e.strerror or e}); "
            f"set XDG_CACHE_HOME to a writable directory of your own or {ENVIRONMENT_VARIABLE} to a "
            f"definitions root") from e
    _unpacked[archive] = target
    return target


def embedded_root() -> Path:
    """The carried tables' unpacked tree, unpacked first when needed."""
    return _embedded_root()


def repair_embedded(root: str | os.PathLike[str]) -> bool:
    """After a table file under `root` could not be read: when `root` is the
    carried tables' unpacked tree, marks it incomplete so that the next use
    unpacks it again, and says so."""
    from pathlib import Path

    root = Path(root)
    if root not in _unpacked.values():
        return False
    for archive, target in list(_unpacked.items()):
        if target == root:
            del _unpacked[archive]
    try:
        os.unlink(root / _MARKER)
    except OSError:
        pass
    return True


# Roots found, by what decides them (the argument, the environment): each open
# of a file asks, and the answer costs file-system queries.
_resolved: dict[tuple[str | None, str, str, str | None, str | None, bool], tuple[str, Path]] = {}


def _resolve(definitions: str | os.PathLike[str] | None, carried: bool = True) -> tuple[str, Path | None]:
    """(where, root): the root a read takes its tables from (see
    resolve_definitions). Without `carried`, the tables korvane carries are
    not unpacked, and ("none", None) stands for them."""
    env = os.environ
    key = (None if definitions is None else os.fspath(definitions), env.get(ENVIRONMENT_VARIABLE, ""),
           SYSTEM_DEFINITIONS, env.get("XDG_CACHE_HOME"), env.get("HOME"), carried)
    found = _resolved.get(key)
    if found is not None:
        return found
    from pathlib import Path

    if definitions is not None:
        root = Path(definitions)
        if not root.is_dir():
            raise FileNotFoundError(f"definitions root does not exist or is not a directory: {root}")
        if not _has_tables(root):
            raise FileNotFoundError(f"not an ecCodes definitions root (no bufr/tables): {root}")
        found = ("argument", root)
    else:
        for entry in key[1].split(os.pathsep):
            if entry and _has_tables(entry):
                found = ("environment", Path(entry))
                break
        else:
            if _has_tables(SYSTEM_DEFINITIONS):
                found = ("system", Path(SYSTEM_DEFINITIONS))
            elif not carried:
                return "none", None
            else:
                found = ("embedded", _embedded_root())
    if len(_resolved) > 64:
        _resolved.clear()
    _resolved[key] = found
    return found


def resolve_definitions(definitions: str | os.PathLike[str] | None = None) -> Path:
    """The ecCodes definitions root to read BUFR tables from.

    `definitions` when given (it must be a directory holding `bufr/tables`);
    else the first entry of `$ECCODES_DEFINITION_PATH` (`os.pathsep`-separated)
    that holds `bufr/tables`; else the system's definitions
    (`/usr/share/eccodes/definitions`) when they hold `bufr/tables`; else the
    tables korvane carries, unpacked on first use under
    `$XDG_CACHE_HOME/korvane` (`~/.cache/korvane`).

    Raises:
        FileNotFoundError: When `definitions` is not a directory holding
            `bufr/tables`, or the carried tables are missing or were left
            half unpacked.
        OSError: When the carried tables cannot be unpacked (an unwritable
            cache directory).
    """
    root = _resolve(definitions)[1]
    assert root is not None  # the carried tables stand behind every other root
    return root


def installed_master_versions(root: str | os.PathLike[str], master_table: int = 0) -> list[int]:
    """The master table versions a definitions root holds, in order. A version
    is an entry named by its number: a directory or an alias file naming a
    sibling."""
    from korvane import _columns

    return _columns.installed_master_versions(os.fspath(root), master_table)


def _system_release(root: Path) -> str | None:
    # A distribution's package records its version in its changelog:
    # PREFIX/share/doc/libeccodes-data beside PREFIX/share/eccodes/definitions.
    import gzip
    import re

    changelog = root.parent.parent / "doc" / "libeccodes-data" / "changelog.Debian.gz"
    try:
        with gzip.open(changelog, "rt", encoding="utf-8", errors="replace") as f:
            first = f.readline()
    except (OSError, EOFError):
        return None
    m = re.match(r"\S+ \((?:\d+:)?([0-9][^-)\s]*)", first)
    return m.group(1) if m else None


def carried_definitions() -> Path:
    """The definitions root of the tables korvane carries, unpacked on first use.

    Pass it as `definitions=` (or `--definitions`) to read with them rather
    than with the system's: for messages of a master version newer than the
    system's tables hold.

    Raises:
        FileNotFoundError: When the carried tables are missing or were left
            half unpacked.
        OSError: When they cannot be unpacked (an unwritable cache directory).
    """
    return _embedded_root()


def newer_version_note(version: int, root: str | os.PathLike[str]) -> str:
    """What a warning that `root` lacks master version `version` adds when the
    tables korvane carries hold it: that they do, and how to read with them."""
    try:
        carried = _read_index().get("master_versions", [])
    except (OSError, ValueError):
        return ""
    if version not in carried:  # nor when root is the carried tables themselves
        return ""
    return (f"; the tables korvane carries hold version {version}: pass definitions=korvane.carried_definitions() "
            f"(korvane --definitions \"$(python3 -c 'import korvane; print(korvane.carried_definitions())')\")")


def tables_info(definitions: str | os.PathLike[str] | None = None) -> dict[str, Any]:
    """Which BUFR tables korvane reads, and what they hold.

    Args:
        definitions: A definitions root to ask about, as `korvane.open` takes
            it; by default the one korvane would choose itself.

    Returns:
        A dict of four entries. `source`, where the root comes from (`"argument"`,
            `"environment"` for `$ECCODES_DEFINITION_PATH`, `"system"` for
            `/usr/share/eccodes/definitions`, or `"embedded"` for the tables
            korvane carries); `root`, the definitions root (a `Path`);
            `eccodes_release`, the ecCodes release the tables come from
            (None when unknown); `master_versions`, the versions of master
            table 0 it holds.

    Raises:
        FileNotFoundError: As `resolve_definitions`.
    """
    kind, root = _resolve(definitions)
    assert root is not None  # the carried tables stand behind every other root
    if kind == "embedded":
        index = _read_index()
        release = index.get("eccodes_release")
        versions = list(index["master_versions"])
    else:
        release = _system_release(root)
        versions = installed_master_versions(root)
    return {"source": kind, "root": root, "eccodes_release": release, "master_versions": versions}


# ---- the sets of messages ---------------------------------------------------------------

# The sets themselves live in the core's table cache, which loads each set of
# table directories once: messages from many centres that declare no local
# tables share one set. Here the TableSet objects in use are kept by what
# they are (the key of the directories read), so that messages with equal
# tables share one object, and each header's key is remembered.
_SETS_KEPT = 16
_HEADERS_KEPT = 4096
_sets: dict[str, TableSet] = {}  # key -> TableSet, least recently used first
_keys: dict[tuple[str | int | bool, ...], str] = {}
_warned: set[tuple[str, int, int]] = set()
_cache_lock = threading.Lock()


def warn_version(root: str | os.PathLike[str], master_table: int, named: int, read: int, stacklevel: int = 6) -> None:
    """Warns, once per root and version, that messages of master version
    `named` are read with the older version `read` (the newest installed)."""
    key = (str(root), master_table, named)
    if read >= named or key in _warned:
        return
    _warned.add(key)
    warnings.warn(
        f"master table version {named} is newer than the tables installed in {root}; "
        f"using version {read}{newer_version_note(named, root)}",
        stacklevel=stacklevel,
    )


def tables_for(root: str | os.PathLike[str], master_table: int, master_version: int, local_version: int,
               centre: int, subcentre: int, *, code_tables: bool = True, source: str = "<buffer>", index: int = 0,
               offset: int = 0) -> TableSet:
    """tables_for(root, master_table, master_version, local_version, centre, subcentre)
    --

    The TableSet of a definitions root for a message with these header fields,
    from the process's table cache, which loads each set of table directories
    once; without its code and flag tables when `code_tables` is false (the
    command reads those one by one, see code_table). A master version that
    is not installed is read with the next later one installed (later
    versions only add entries), else with the newest, with a warning naming
    both. `source`, `index` and `offset` name the message in the DecodeError
    raised when the tables cannot be loaded.
    """
    from korvane import _columns
    from korvane.errors import DecodeError

    header = (str(root), master_table, master_version, local_version, centre, subcentre, code_tables)
    with _cache_lock:
        known = _keys.get(header)
        tables = _sets.pop(known, None) if known is not None else None
        if known is not None and tables is not None:
            _sets[known] = tables  # the most recently used, last
            return tables
    try:
        key, version, tables = _columns.load_tables(os.fspath(root), master_table, master_version, local_version,
                                                    centre, subcentre, code_tables=code_tables, source=source,
                                                    index=index, offset=offset)
    except DecodeError as e:
        # A file missing from the carried tables' unpacked tree (a cache
        # cleaned in part): the tree is unpacked again, and read again.
        if e.kind != "tables" or not repair_embedded(root):
            raise
        root = embedded_root()
        key, version, tables = _columns.load_tables(os.fspath(root), master_table, master_version, local_version,
                                                    centre, subcentre, code_tables=code_tables, source=source,
                                                    index=index, offset=offset)
    warn_version(root, master_table, master_version, version, stacklevel=4)
    with _cache_lock:
        if len(_keys) >= _HEADERS_KEPT:
            _keys.clear()
        _keys[header] = key
        tables = _sets.pop(key, tables)
        _sets[key] = tables
        while len(_sets) > _SETS_KEPT:
            del _sets[next(iter(_sets))]
    return tables


def code_table(root: str | os.PathLike[str], master_table: int, master_version: int, local_version: int,
               centre: int, subcentre: int, code: int, *, source: str = "<buffer>", index: int = 0,
               offset: int = 0) -> dict[int, str] | None:
    """The code or flag table of element `code` for a message with these
    header fields, as meanings by entry (by bit number, 1 the most
    significant, for a flag table), or None; read alone, without the rest of
    the set. The master version is read as tables_for reads it."""
    from korvane import _columns

    _, version, _ = _columns.load_tables(os.fspath(root), master_table, master_version, local_version, centre,
                                         subcentre, code_tables=False, source=source, index=index, offset=offset)
    return _columns.code_table(os.fspath(root), master_table, version, local_version, centre, subcentre, code,
                               source=source, index=index, offset=offset)
