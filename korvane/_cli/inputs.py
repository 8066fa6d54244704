"""What a command reads: files, directories, glob patterns and standard input,
and the progress bar shown over many of them."""

from __future__ import annotations

import os
import sys

# Files larger than this are memory-mapped rather than read.
_MAP_FROM = 1 << 20
# A progress bar is worth showing from this many files on.
MANY_FILES = 10
_GLOB_CHARACTERS = "*?["


class Source:
    """One input: a file (path), standard input (path None), or an argument
    that names nothing readable (error)."""

    __slots__ = ("name", "path", "named", "error")

    def __init__(self, name: str, path: str | None, named: bool, error: str | None = None) -> None:
        self.name = name
        self.path = path
        self.named = named  # named by the user (or a pattern), not found in a directory
        self.error = error


def _walk(top: str) -> list[Source]:
    found = []
    for root, dirs, files in os.walk(top):
        dirs.sort()
        for name in sorted(files):
            path = os.path.join(root, name)
            found.append(Source(path, path, named=False))
    return found


def sources(arguments: list[str]) -> list[Source]:
    """The inputs that the command's FILE arguments name, in order."""
    out: list[Source] = []
    for a in arguments:
        if a == "-":
            out.append(Source("<stdin>", None, named=True))
        elif os.path.isdir(a):
            out.extend(_walk(a))
        elif os.path.exists(a) or not any(ch in a for ch in _GLOB_CHARACTERS):
            out.append(Source(a, a, named=True))
        else:
            import glob

            matches = sorted(glob.glob(a, recursive=True))
            if not matches:
                out.append(Source(a, None, named=True, error="no file matches this pattern"))
            for m in matches:
                out.extend(_walk(m) if os.path.isdir(m) else [Source(m, m, named=True)])
    return out


def load(source: Source):
    """The bytes of a source: bytes, or a read-only mmap for a large file
    (close it with release()). Raises OSError."""
    if source.path is None:
        return sys.stdin.buffer.read()
    with open(source.path, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        if size < _MAP_FROM:
            return f.read()
        import mmap

        return mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)


def readable(sources, failed: list):
    """(source, bytes) for each source that can be read; each that cannot is
    reported on stderr (one line) and added to `failed`."""
    for src in sources:
        if src.error is not None:
            error(f"{src.name}: {src.error}")
            failed.append(src)
            continue
        try:
            data = load(src)
        except OSError as e:
            error(f"{src.name}: {os_error_text(e)}")
            failed.append(src)
            continue
        yield src, data


def release(data) -> None:
    close = getattr(data, "close", None)
    if close is not None:
        close()


def os_error_text(e: OSError) -> str:
    return e.strerror or str(e)


# ---- progress and messages on stderr -------------------------------------------------

_bar = None


def progress(items: list, *, stdout_used: bool = True):
    """`items`, wrapped in a tqdm progress bar on stderr when stderr is a
    terminal, the work spans many files, the output does not go to the same
    terminal, and tqdm (korvane's optional extra "progress") is installed."""
    global _bar
    if len(items) < MANY_FILES or not _isatty(sys.stderr) or (stdout_used and _isatty(sys.stdout)):
        return items
    try:
        from tqdm import tqdm
    except ImportError:
        return items
    _bar = tqdm(items, unit="file", file=sys.stderr, leave=False, dynamic_ncols=True)
    return _bar


def _isatty(stream) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


def error(text: str) -> None:
    """One line on stderr, "korvane: <text>" (above the progress bar, if one is shown)."""
    line = f"korvane: {text}"
    sys.stdout.flush()  # keep the order of output and errors when both go to one place
    if _bar is not None:
        _bar.write(line, file=sys.stderr)
    else:
        sys.stderr.write(line + "\n")
        sys.stderr.flush()
