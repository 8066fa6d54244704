"""What a source of BUFR data is, and how it becomes bytes that korvane owns.

A source is a path, a directory or a glob pattern (read file by file), a URL
of any file system fsspec knows (the optional extra ``remote``), a file object
(anything with ``read``), or a buffer (``bytes``, ``bytearray``,
``memoryview``, ``mmap``). Whatever it is, its bytes end up in memory of this
process before anything is decoded:

* A file is opened without blocking (``O_NONBLOCK``: opening a FIFO with no
  writer would wait for one), checked with ``fstat`` and refused unless it is
  a regular file; FIFOs, sockets and devices (``/dev/zero`` reads forever) are
  never read. Its bytes are then read, with the interpreter lock released,
  into private memory: a mapping of the file itself would let another
  process that truncates or rewrites it (a feed rotating its files) kill
  this one with SIGBUS at the next access. The file is read as it is when
  opened: bytes appended later are not seen, and a file that shrinks while
  it is read gives the bytes that were there and a note of it.
* Data compressed with gzip, bzip2, xz or zstd are recognised by their
  leading magic bytes, whatever the file is called, and decompressed; zstd
  with the standard library's ``compression.zstd`` where the interpreter has
  it (3.14 on), otherwise with ``backports.zstd`` (the optional extra
  ``zstd``).
* Streams of unknown length (file objects, standard input, URLs) and
  decompressed data are bounded by ``max_size``: a decompression bomb, or a
  device passed as a file object, is a clear error and not an exhausted
  machine.
* A buffer is viewed in place, unless it is compressed.

Nothing here imports NumPy or an optional extra at start-up: the command line
uses this module, and its start-up time is measured.
"""

from __future__ import annotations

import os
import stat

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable

#: The default bound of a stream's bytes, and of the bytes that decompressing
#: a source may give: 4 GiB. None lifts it.
DEFAULT_MAX_SIZE = 4 << 30

# Files from this size on are read into an anonymous mapping that may use huge
# pages: reading 1 GiB into 4 KiB pages spends most of its time in page faults.
_HUGE_FROM = 8 << 20
# Reads are made in pieces of this size, between which Ctrl-C is honoured.
_PIECE = 64 << 20
# Bytes of compressed input fed at a time, and most output asked for at a time.
_FEED = 1 << 20
_BURST = 16 << 20
# Bytes of a buffer that names a file rather than holding data (PATH_MAX).
_NAME_MAX = 4096

_GLOB_CHARACTERS = "*?["

_KINDS = (
    (stat.S_ISDIR, "a directory"),
    (stat.S_ISFIFO, "a FIFO"),
    (stat.S_ISSOCK, "a socket"),
    (stat.S_ISCHR, "a character device"),
    (stat.S_ISBLK, "a block device"),
)


def kind_of(mode: int) -> str:
    """What a file of this mode is, as the errors name it."""
    for test, name in _KINDS:
        if test(mode):
            return name
    return "not a regular file"


def _refused(path: str, mode: int) -> OSError:
    """The error for a path that is no regular file: its text names the path
    (``str(e)``), its ``strerror`` says what the file is (the command line
    prints the name itself). No ``filename``: OSError would then print
    "[Errno None]" before the text."""
    kind = kind_of(mode)
    if stat.S_ISDIR(mode):
        text = ("is a directory: korvane.open reads one file (korvane.read_bufr, read_arrow and the korvane "
                "command read directories)")
        error: OSError = IsADirectoryError(f"{path}: {text}")
    else:
        text = f"is {kind}, not a regular file: korvane reads regular files, buffers and file objects"
        error = OSError(f"{path}: {text}")
    error.strerror = text
    return error


def error_text(e: OSError) -> str:
    """An OSError's reason without the file name (which the caller shows)."""
    return e.strerror or str(e)


def parse_size(value) -> int | None:
    """A byte count: an int, or a text such as "512MiB", "4GiB", "100MB" or
    "65536"; None stays None (no bound)."""
    if value is None or isinstance(value, int) and not isinstance(value, bool):
        if value is not None and value <= 0:
            raise ValueError(f"max_size must be positive, not {value}")
        return value
    if not isinstance(value, str):
        raise TypeError(f"max_size must be an int, a str such as '4GiB', or None, not {type(value).__name__}")
    text = value.strip()
    units = {"": 1, "b": 1, "k": 1000, "kb": 1000, "m": 1000**2, "mb": 1000**2, "g": 1000**3, "gb": 1000**3,
             "t": 1000**4, "tb": 1000**4, "kib": 1 << 10, "mib": 1 << 20, "gib": 1 << 30, "tib": 1 << 40}
    number = text.rstrip("bBkKmMgGtTiI ")
    unit = text[len(number):].strip().lower()
    try:
        n = float(number)
    except ValueError:
        n = -1.0
    if unit not in units or not n > 0:
        raise ValueError(f"not a size: {value!r} (write it as 65536, 512MiB or 4GiB)")
    return int(n * units[unit])


# ---- regular files -------------------------------------------------------------------


def open_regular(path: str) -> tuple[int, os.stat_result]:
    """A descriptor of a regular file, opened without blocking, and its status;
    OSError naming the path for anything else (the descriptor is closed)."""
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            raise _refused(path, st.st_mode)
    except BaseException:
        os.close(fd)
        raise
    return fd, st


def _allocate(size: int):
    """A writable buffer of `size` bytes that is ours alone: a bytearray, or an
    anonymous mapping for a large one (no file behind it, so nothing another
    process does can fault it; closed at once when released)."""
    if size < _HUGE_FROM:
        return bytearray(size)
    import mmap

    buffer = mmap.mmap(-1, size)
    advice = getattr(mmap, "MADV_HUGEPAGE", None)
    if advice is not None:
        try:
            buffer.madvise(advice)
        except OSError:
            pass
    return buffer


def read_range(fd: int, start: int, size: int):
    """Reads bytes [start, start + size) of an open file into a buffer of our
    own. Returns (buffer, count): fewer than `size` bytes when the file ended
    sooner (it shrank since its size was taken)."""
    buffer = _allocate(size)
    view = memoryview(buffer)
    got = 0
    try:
        while got < size:
            n = os.preadv(fd, [view[got : got + _PIECE]], start + got)  # releases the interpreter lock
            if n == 0:
                break
            got += n
    finally:
        view.release()
    return buffer, got


# ---- what a source gave ------------------------------------------------------------------


class Loaded:
    """The bytes of one source, in memory korvane owns or in the caller's buffer.

    Attributes:
        view: The bytes (a memoryview of unsigned bytes).
        name: The source as errors name it: its path or URL, `"<buffer>"`,
            a file object's name.
        compression: "gzip", "bzip2", "xz" or "zstd" when the bytes were
            decompressed, else None.
        problem: Why the bytes end early (compressed data cut short or
            damaged), else None.
        changed: How the file changed while it was read (it shrank), else
            None: the bytes are what it still held.
    """

    __slots__ = ("view", "name", "compression", "problem", "changed", "_owner")

    def __init__(self, owner, view: memoryview, name: str, compression: str | None = None,
                 problem: str | None = None, changed: str | None = None) -> None:
        self._owner = owner
        self.view = view
        self.name = name
        self.compression = compression
        self.problem = problem
        self.changed = changed

    def __len__(self) -> int:
        return len(self.view)

    def find(self, sub: bytes) -> int:
        """The offset of the first `sub` in the bytes, or -1."""
        find = getattr(self._owner, "find", None)
        if find is not None and self.view.obj is self._owner:
            return find(sub, 0, len(self.view))
        return self.view.tobytes().find(sub)

    def release(self) -> None:
        """Gives the memory back (a view of it handed out keeps it alive)."""
        owner, self._owner = self._owner, None
        try:
            self.view.release()
            close = getattr(owner, "close", None)
            if close is not None:
                close()
        except BufferError:  # a view of it is still held; it goes with that
            pass


def _as_bytes(source) -> memoryview:
    view = memoryview(source)
    if view.ndim != 1 or view.itemsize != 1 or view.format not in ("B", "b", "c"):
        view = view.cast("B") if view.c_contiguous else memoryview(view.tobytes())
    elif not view.c_contiguous:
        view = memoryview(view.tobytes())
    return view


def read_file(path: str, max_size: int | None = None) -> Loaded:
    """The bytes of a regular file, decompressed when they are compressed."""
    fd, st = open_regular(path)
    try:
        buffer, got = read_range(fd, 0, st.st_size)
    finally:
        os.close(fd)
    changed = None
    if got < st.st_size:
        changed = f"the file shrank from {st.st_size} to {got} bytes while it was read"
    view = memoryview(buffer)[:got]
    return _decompressed(Loaded(buffer, view, path, changed=changed), max_size)


def read_stream(stream, name: str, max_size: int | None = DEFAULT_MAX_SIZE) -> Loaded:
    """The bytes of a file object (read once, to its end), decompressed when
    they are compressed; ValueError past `max_size` bytes."""
    read = getattr(stream, "read", None)
    out = bytearray()
    limit = max_size
    if read is None:
        readinto = stream.readinto
        piece = bytearray(_FEED)

        def read(n):
            k = readinto(memoryview(piece)[:n])
            return None if k is None else piece[:k]

    while True:
        want = _FEED if limit is None else min(_FEED, limit + 1 - len(out))
        chunk = read(want)
        if chunk is None:
            raise OSError(f"{name}: the file object is non-blocking and has no data now; "
                          "give korvane a blocking one")
        if isinstance(chunk, str):
            raise TypeError(f"{name}: the file object gives text, not bytes: open it in binary mode ('rb')")
        if not chunk:
            break
        out += chunk
        if limit is not None and len(out) > limit:
            raise ValueError(f"{name}: more than {limit} bytes (max_size); pass a larger max_size (--max-size) "
                             "to read it")
    return _decompressed(Loaded(out, memoryview(out), name), max_size)


def _names_a_file(view: memoryview) -> str | None:
    """The file name a buffer spells, when it holds no BUFR message and reads
    as the name of a file (one that exists, or a path with a slash)."""
    if len(view) > _NAME_MAX or len(view) == 0:
        return None
    raw = view.tobytes()
    if b"BUFR" in raw or b"\0" in raw:
        return None
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError:
        return None
    if not text.isprintable():
        return None
    if "/" in text or os.path.lexists(text):
        return text
    return None


def load(source, *, max_size=DEFAULT_MAX_SIZE, storage_options=None) -> Loaded:
    """The bytes of one source: a path or URL, a file object, or a buffer.

    A `bytes`-like buffer is the data itself, never a file name: one that
    holds no BUFR message and spells a file's name raises TypeError (pass the
    name as a `str` or `pathlib.Path`).
    """
    if isinstance(source, Loaded):
        return source
    limit = parse_size(max_size)
    if isinstance(source, (str, os.PathLike)):
        path = os.fspath(source)
        if isinstance(path, bytes):
            raise TypeError(f"a path is a str or os.PathLike of str, not bytes: {path!r}")
        if is_url(path):
            local = _local_url(path)
            if local is None:
                return _read_url(path, limit, storage_options)
            loaded = read_file(local, limit)
            loaded.name = path
            return loaded
        return read_file(path, limit)
    try:
        view = _as_bytes(source)  # bytes, bytearray, memoryview, mmap, arrays: any buffer
    except TypeError:
        view = None
    if view is not None:
        loaded = _decompressed(Loaded(None, view, "<buffer>"), limit)
        if loaded.compression is None:
            name = _names_a_file(view)
            if name is not None:
                raise TypeError(
                    f"a bytes source is read as data, and this one holds no BUFR message but spells the file "
                    f"name {name!r}: pass a path as a str or pathlib.Path")
        return loaded
    if hasattr(source, "read") or hasattr(source, "readinto"):
        name = getattr(source, "name", None)
        return read_stream(source, name if isinstance(name, str) else "<file object>", limit)
    raise TypeError(f"a source is a path, a URL, a file object or a bytes-like buffer, not {type(source).__name__!r}")


# ---- compressed data ---------------------------------------------------------------------


def compression_of(head) -> str | None:
    """The compression whose magic bytes open `head`, or None."""
    head = bytes(head[:10])
    if head[:3] == b"\x1f\x8b\x08":
        return "gzip"
    if head[:6] == b"\xfd7zXZ\x00":
        return "xz"
    if head[:4] == b"\x28\xb5\x2f\xfd":
        return "zstd"
    if head[:3] == b"BZh" and head[3:4].isdigit() and head[3:4] != b"0" and head[4:10] in (
            b"\x31\x41\x59\x26\x53\x59", b"\x17\x72\x45\x38\x50\x90"):
        return "bzip2"
    return None


def _zstd():
    try:
        from compression import zstd  # Python 3.14 on
    except ImportError:
        try:
            from backports import zstd
        except ImportError:
            raise ImportError(
                "reading zstd-compressed data needs backports.zstd on this Python (the standard library has "
                "it from 3.14 on), an optional dependency of korvane that is not installed: "
                "pip install 'korvane[zstd]'") from None
    return zstd


class _Gzip:
    """zlib's decompressor for one gzip member, with the interface of the others."""

    def __init__(self) -> None:
        import zlib

        self._d = zlib.decompressobj(31)
        self._tail = b""
        self.error = zlib.error

    @property
    def eof(self) -> bool:
        return self._d.eof

    @property
    def needs_input(self) -> bool:
        return not self._tail and not self._pending

    @property
    def unused_data(self) -> bytes:
        return self._d.unused_data

    def decompress(self, data, max_length: int) -> bytes:
        out = self._d.decompress(self._tail + bytes(data) if self._tail else data, max_length)
        self._tail = self._d.unconsumed_tail
        # Output cut at max_length may still wait inside zlib with no input left.
        self._pending = len(out) == max_length and not self._d.eof
        return out

    _pending = False


def _decompressor(kind: str):
    if kind == "gzip":
        return _Gzip()
    if kind == "bzip2":
        import bz2

        return bz2.BZ2Decompressor()
    if kind == "xz":
        import lzma

        return lzma.LZMADecompressor(format=lzma.FORMAT_XZ)
    return _zstd().ZstdDecompressor()


def _errors_of(kind: str) -> tuple:
    if kind == "gzip":
        import zlib

        return (zlib.error, EOFError)
    if kind == "xz":
        import lzma

        return (lzma.LZMAError, EOFError)
    if kind == "zstd":
        return (_zstd().ZstdError, EOFError)
    return (OSError, EOFError)


def _decompressed(loaded: Loaded, max_size: int | None) -> Loaded:
    """`loaded` itself, or its bytes decompressed when they open with a
    compressor's magic bytes: every stream of that kind in a row (as
    `cat a.gz b.gz` makes), bounded by `max_size`. Data cut short or damaged
    give what came before and a problem saying so."""
    kind = compression_of(loaded.view)
    if kind is None:
        return loaded
    errors = _errors_of(kind)
    source = loaded.view
    out = bytearray()
    problem = None
    position = 0  # input fed so far
    piece: memoryview | bytes
    d = _decompressor(kind)
    try:
        while True:
            if d.needs_input:
                if position >= len(source):
                    problem = f"the {kind} data are cut short (after {len(source)} bytes)"
                    break
                piece = source[position : position + _FEED]
                position += len(piece)
            else:
                piece = b""
            room = _BURST if max_size is None else min(_BURST, max_size + 1 - len(out))
            try:
                out += d.decompress(piece, max_length=room)
            except errors as e:
                problem = f"the {kind} data are damaged after {len(out)} decompressed bytes: {e}"
                break
            if max_size is not None and len(out) > max_size:
                raise ValueError(
                    f"{loaded.name}: {kind} data that decompress to more than {max_size} bytes (max_size): "
                    f"a decompression bomb, or pass a larger max_size (--max-size) to read them")
            if d.eof:
                # The stream ends where the bytes it did not use begin.
                position -= len(d.unused_data)
                if compression_of(source[position : position + 10]) != kind:
                    break  # what follows the last stream (zero padding, say) is no data
                d = _decompressor(kind)
    finally:
        loaded.release()
    return Loaded(out, memoryview(out), loaded.name, kind, problem, loaded.changed)


# ---- URLs --------------------------------------------------------------------------------


def is_url(text: str) -> bool:
    """Whether a text is a URL (scheme://...) rather than a file name."""
    scheme, sep, _ = text.partition("://")
    return bool(sep) and len(scheme) > 1 and scheme[0].isalpha() and all(
        c.isalnum() or c in "+-." for c in scheme)


def _local_url(url: str) -> str | None:
    """The path of a file:// or local:// URL (read as any local file), else None."""
    for prefix in ("file://", "local://"):
        if url.startswith(prefix):
            return url[len(prefix):]
    return None


def fsspec_module():
    try:
        import fsspec
    except ImportError:
        raise ImportError(
            "reading URLs needs fsspec, an optional dependency of korvane that is not installed: "
            "pip install 'korvane[remote]'") from None
    return fsspec


def _read_url(url: str, limit: int | None, storage_options) -> Loaded:
    fs, path = fsspec_module().core.url_to_fs(url, **dict(storage_options or {}))
    try:
        size = fs.size(path)
    except (OSError, ValueError, NotImplementedError):
        size = None
    if size is None:  # read as a stream, to its end or the bound
        with fs.open(path, "rb") as f:
            return read_stream(f, url, limit)
    if limit is not None and size > limit:
        raise ValueError(f"{url}: {size} bytes, more than max_size ({limit}); pass a larger max_size (--max-size) "
                         "to read it")
    # One request for the whole file: servers need not answer requests for ranges.
    data = fs.cat_file(path)
    return _decompressed(Loaded(data, memoryview(data), url), limit)


# ---- many files: directories and patterns ---------------------------------------------------


class Found:
    """One file a source argument names: a path or URL, standard input (path
    None), or an argument that names nothing readable (error)."""

    __slots__ = ("name", "path", "named", "error")

    def __init__(self, name: str, path: str | None, named: bool, error: str | None = None) -> None:
        self.name = name
        self.path = path
        self.named = named  # named by the caller, not found in a directory or by a pattern
        self.error = error

    def __repr__(self) -> str:
        return f"Found({self.name!r})"


def walk(top: str, skipped: Callable[[str, str], None]) -> list[Found]:
    """The regular files under a directory, recursively: each directory's
    files in name order, then its subdirectories in name order. Symbolic
    links to files are followed, those to directories are not (as os.walk
    does). Special files are passed to `skipped(path, what it is)`; a link
    to nothing is a Found with its error."""
    found: list[Found] = []
    try:
        with os.scandir(top) as it:
            entries = sorted(it, key=lambda e: e.name)
    except OSError:
        return found
    subdirs = []
    for entry in entries:
        try:
            if entry.is_dir():
                if not entry.is_symlink():
                    subdirs.append(entry.path)
                continue
            if entry.is_file():
                found.append(Found(entry.path, entry.path, named=False))
                continue
            mode = os.stat(entry.path).st_mode
        except OSError as e:
            found.append(Found(entry.path, entry.path, named=False, error=error_text(e)))
            continue
        skipped(entry.path, kind_of(mode))
    for d in subdirs:
        found.extend(walk(d, skipped))
    return found


def _matches(pattern: str, skipped) -> list[Found]:
    import glob

    out: list[Found] = []
    notes: dict[str, str] = {}

    def note(path: str, kind: str) -> None:
        notes.setdefault(path, kind)

    for m in sorted(glob.glob(pattern, recursive=True)):
        try:
            mode = os.stat(m).st_mode
        except OSError as e:
            out.append(Found(m, m, named=False, error=error_text(e)))
            continue
        if stat.S_ISDIR(mode):
            out.extend(walk(m, note))
        elif stat.S_ISREG(mode):
            out.append(Found(m, m, named=False))
        else:
            note(m, kind_of(mode))
    # "d/**" matches d and the files in it: each file once, where first found.
    for path, kind in notes.items():
        skipped(path, kind)
    unique: list[Found] = []
    seen: set[str | None] = set()
    for f in out:
        if f.path not in seen:
            seen.add(f.path)
            unique.append(f)
    return unique


def _remote(url: str, storage_options) -> list[Found]:
    """The files of a URL: itself, the files under it when it is a directory,
    or those a pattern in it matches."""
    fs, path = fsspec_module().core.url_to_fs(url, **dict(storage_options or {}))
    if any(c in path for c in _GLOB_CHARACTERS):
        found = fs.glob(path, detail=True)
        paths = sorted(p for p, info in found.items() if info.get("type") != "directory")
        if not paths:
            return [Found(url, None, named=True, error="no file matches this pattern")]
        return [Found(fs.unstrip_protocol(p), fs.unstrip_protocol(p), named=False) for p in paths]
    try:
        directory = fs.info(path).get("type") == "directory"
    except (OSError, ValueError):
        directory = False
    if directory:
        return [Found(fs.unstrip_protocol(p), fs.unstrip_protocol(p), named=False) for p in sorted(fs.find(path))]
    return [Found(url, url, named=True)]


def expand(arguments: list[str], skipped: Callable[[str, str], None], *, stdin: bool = False,
           storage_options=None) -> list[Found]:
    """The files that source arguments name, in order: a file or URL itself; a
    directory's regular files, recursively; a glob pattern's matches (`**`
    spans directories), sorted; with `stdin`, "-" for standard input. Special
    files found in a directory or by a pattern go to `skipped`; a named one
    is refused when it is read."""
    out: list[Found] = []
    for a in arguments:
        if stdin and a == "-":
            out.append(Found("<stdin>", None, named=True))
        elif is_url(a) and _local_url(a) is None:
            out.extend(_remote(a, storage_options))
        else:
            path = _local_url(a) or a
            if os.path.isdir(path):
                out.extend(walk(path, skipped))
            elif os.path.lexists(path) or not any(ch in path for ch in _GLOB_CHARACTERS):
                out.append(Found(a, path, named=True))
            else:
                matches = _matches(path, skipped)
                out.extend(matches or [Found(a, None, named=True, error="no file matches this pattern")])
    return out


def load_found(found: Found, max_size=DEFAULT_MAX_SIZE, storage_options=None) -> Loaded:
    """The bytes of a Found (standard input when its path is None)."""
    if found.path is None:
        import sys

        return read_stream(sys.stdin.buffer, found.name, parse_size(max_size))
    loaded = load(found.path, max_size=max_size, storage_options=storage_options)
    loaded.name = found.name
    return loaded


def many(source, skipped: Callable[[str, str], None], storage_options=None) -> list:
    """What a reader of many sources reads, in order: the items of a list or
    tuple, each path or URL expanded as `expand` does (a directory's files, a
    pattern's matches) into Found, other sources (buffers, file objects) as
    they are. A pattern that matches nothing is FileNotFoundError; a `bytes`
    item is a buffer, as everywhere a source is read."""
    items = list(source) if isinstance(source, (list, tuple)) else [source]
    out: list = []
    for item in items:
        if isinstance(item, (str, os.PathLike)) and not isinstance(os.fspath(item), bytes):
            for found in expand([os.fspath(item)], skipped, storage_options=storage_options):
                if found.path is None:  # no match
                    raise FileNotFoundError(f"no file matches {found.name!r}")
                out.append(found)
        else:
            out.append(item)
    return out
