"""What a command reads: files, directories, glob patterns, URLs and standard
input (korvane._sources reads them), and the progress bar shown over many of them."""

from __future__ import annotations

import sys

from korvane import _sources

# A progress bar is worth showing from this many files on.
MANY_FILES = 10

# The bound of streams and of decompressed data (--max-size).
max_size: int | None = _sources.DEFAULT_MAX_SIZE


def _skipped(path: str, kind: str) -> None:
    error(f"{path}: skipped: {kind}, not a regular file")


def sources(arguments: list[str], size: str | None = None) -> list[_sources.Found]:
    """The inputs that the command's FILE arguments name, in order. Special
    files found in a directory or by a pattern are skipped with a note.
    `size`: the --max-size option."""
    global max_size
    from korvane.cli import UsageError

    if size is not None:
        try:
            max_size = _sources.parse_size(size)
        except ValueError as e:
            raise UsageError(f"--max-size: {e}") from None
    try:
        return _sources.expand(arguments, _skipped, stdin=True)
    except ImportError as e:  # a URL without fsspec
        from korvane.cli import CliError

        raise CliError(str(e)) from None
    except OSError as e:  # a URL that cannot be listed
        from korvane.cli import CliError

        raise CliError(str(e)) from None


def readable(sources, failed: list):
    """(source, Loaded) for each source that can be read; each that cannot is
    reported on stderr (one line) and added to `failed`, as is each whose
    bytes end early (what was read is still given)."""
    for src in sources:
        if src.error is not None:
            error(f"{src.name}: {src.error}")
            failed.append(src)
            continue
        try:
            data = _sources.load_found(src, max_size)
        except OSError as e:
            error(f"{src.name}: {os_error_text(e)}")
            failed.append(src)
            continue
        except (ValueError, ImportError, TypeError) as e:  # past --max-size, zstd or fsspec missing
            text = str(e)
            error(text if text.startswith(src.name) else f"{src.name}: {text}")
            failed.append(src)
            continue
        for problem in (data.changed, data.problem):
            if problem is not None:
                error(f"{src.name}: {problem}")
                failed.append(src)
        yield src, data


def no_messages(src, data) -> str:
    """The line for a source in which no message was found."""
    after = f" after {data.compression} decompression" if data.compression else ""
    return f"no BUFR messages found in {src.name}{after}"


def release(data) -> None:
    data.release()


def os_error_text(e: OSError) -> str:
    return _sources.error_text(e)


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
