"""Many files on many machines: BUFR observations as a Dask DataFrame.

    import korvane.dask
    ddf = korvane.dask.read_bufr("obs/*.bufr", columns=["latitude", "longitude", "airTemperature"])
    ddf.compute()                       # the threaded scheduler, or a distributed Client's

``read_bufr`` gives the table ``korvane.read_bufr`` gives for the same files in
the same order: the same columns, rows and values, with the types of the first
file's table. Each file is a partition, and a file larger than
``partition_size`` is cut into groups of whole messages, found by scanning the
headers, so that a partition decodes only its own messages. A partition hands
``korvane.read_bufr`` a buffer holding exactly its messages, so the rows of a
message are built by one code whichever reader asks.

Each partition keeps its own row numbers (the index starts at 0 in each), as
Dask's readers do: ``compute().reset_index(drop=True)`` numbers them through.

Files are read as ``korvane.open`` reads them (``korvane._sources``): into
memory of the worker, never mapped, so that a file truncated while it is read
cannot kill a worker; only regular files; compressed files (gzip, bzip2, xz,
zstd) decompressed, each in one partition, since a compressed stream cannot be
cut at a message.

Tasks carry file names, byte ranges and message offsets, never a TableSet:
each process finds its tables through the reader's cache of its own, so the
partitions run on a threaded scheduler (decoding releases the interpreter
lock) as well as on the worker processes of ``distributed``.

This module needs the optional extra ``korvane[dask]`` (dask[dataframe] and
distributed); ``import korvane`` never imports it.
"""

from __future__ import annotations

import numbers
import os
import warnings
from collections.abc import Callable, Mapping, Sequence
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np

try:
    import dask
    import dask.dataframe as dd
    import pandas as pd
    from dask.dataframe.utils import make_meta
    from dask.utils import parse_bytes
    from fsspec.core import url_to_fs
    from fsspec.implementations.local import LocalFileSystem
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError(
        "korvane.dask needs dask[dataframe], an optional dependency of korvane that is not installed: "
        "pip install 'korvane[dask]'"
    ) from exc

import korvane
from korvane import _sources, frames
from korvane._names import AbsentKeyWarning
from korvane.reader import DecodeError

if TYPE_CHECKING:
    from numpy.typing import NDArray

__all__ = ["read_bufr", "DEFAULT_PARTITION_SIZE"]

#: Files larger than this are read in several partitions.
DEFAULT_PARTITION_SIZE = "64MiB"

# How much of the first files is decoded to learn the columns' types.
_SAMPLE_BYTES = 1 << 20
_SAMPLE_FILES = 16
_ERRORS = ("raise", "warn", "skip")


class _Part(NamedTuple):
    """What one partition reads: a byte range of a file and, for a file cut in
    several, the messages and damaged spans the whole-file scan found in it."""

    fs: Any  # an fsspec file system
    path: str
    name: str  # the file as error texts name it
    file: int  # position among the files
    start: int
    end: int | None  # None: to the end of the file
    size: int  # bytes in the range
    messages: NDArray[np.int64] | None  # rows (scan index, offset, length); None: scan the file in the task
    problems: list[DecodeError] | None  # of each damaged span
    before: int  # messages of the file before this partition's first


# ---- bytes -------------------------------------------------------------------------------


def _open(fs: Any, path: str, start: int = 0, end: int | None = None,
          max_size: int | str | None = _sources.DEFAULT_MAX_SIZE) -> tuple[memoryview, Callable[[], None]]:
    """A memoryview of bytes [start, end) of a file, and the function that
    releases it. A whole file is read as korvane.open reads it (decompressed
    when it is compressed); a range of a local file is read with pread, of
    others with fsspec."""
    whole = start == 0 and end is None
    if isinstance(fs, LocalFileSystem):
        if whole:
            loaded = _sources.read_file(path, _sources.parse_size(max_size))
            return loaded.view, loaded.release
        fd, st = _sources.open_regular(path)
        try:
            stop = st.st_size if end is None else min(end, st.st_size)
            buffer, got = _sources.read_range(fd, start, max(stop - start, 0))
        finally:
            os.close(fd)
        view = memoryview(buffer)[:got]
        return view, view.release
    if whole:
        with fs.open(path, "rb") as f:
            loaded = _sources.read_stream(f, fs.unstrip_protocol(path), _sources.parse_size(max_size))
        return loaded.view, loaded.release
    data = fs.cat_file(path, start=start, end=end)
    return memoryview(data), lambda: None


def _scan(view: memoryview, name: str) -> tuple[NDArray[np.int64], list[DecodeError]]:
    """The messages of a whole file (scan index, offset, length) and its damaged spans."""
    with korvane.open(view, errors="skip") as f:
        h = f.headers
        messages = np.stack([h["index"], h["offset"], h["total_length"]], axis=1).astype(np.int64)
        problems = [DecodeError(e.reason, source=name, index=e.index, offset=e.offset, kind=e.kind) for e in f.errors]
    return messages.reshape(-1, 3), problems


def _count(fs: Any, path: str, max_size: int | str | None) -> int:
    """The number of messages of a file that parse, as read_bufr counts them."""
    view, release = _open(fs, path, max_size=max_size)
    try:
        with korvane.open(view, errors="skip") as f:
            return len(f)
    finally:
        release()


def _starts(counts: list[int]) -> list[int]:
    """The message_index of each file's first message."""
    return [0, *np.cumsum(counts[:-1], dtype=np.int64).tolist()] if counts else []


# ---- one partition -----------------------------------------------------------------------


class _Shifted:
    """A filter callable on message_index, seen from a buffer whose first
    message has index `base` among all messages read."""

    def __init__(self, fn: Callable[[Any], Any], base: int) -> None:
        self.fn, self.base = fn, base

    def __call__(self, x: Any) -> Any:
        return self.fn(x + self.base)


def _shift(spec: Any, base: int) -> Any:
    """A message_index filter for a buffer whose messages count from `base`:
    the same test on index - base. Its forms are those read_bufr takes, tried
    in its order: a slice, a callable, a collection of values, a value."""

    def value(v: Any) -> Any:
        # Every number a filter may hold (int, float, NumPy's, Decimal)
        # subtracts an int; the Number ABC itself declares no arithmetic.
        return v - base if isinstance(v, numbers.Number) else v  # type: ignore[operator]

    if isinstance(spec, slice):
        return slice(None if spec.start is None else value(spec.start),
                     None if spec.stop is None else value(spec.stop))
    if callable(spec):
        return _Shifted(spec, base)
    if isinstance(spec, (str, bytes)) or not hasattr(spec, "__iter__"):
        return value(spec)
    return [value(v) for v in spec]


def _runs(indices: NDArray[np.int64]) -> list[tuple[int, int]]:
    """Ranges [lo, hi) of messages with no damaged span between them (their
    scan indices follow each other)."""
    if len(indices) == 0:
        return []
    cuts = np.flatnonzero(np.diff(indices) != 1) + 1
    edges = [0, *cuts.tolist(), len(indices)]
    return list(zip(edges[:-1], edges[1:]))


class _Reader:
    """Reads partitions: the arguments of read_bufr that every task shares."""

    def __init__(self, columns: str | Sequence[str] | None, filters: Mapping[str, Any] | None,
                 definitions: str | os.PathLike[str] | None, errors: str, meta: pd.DataFrame | None = None,
                 required: bool | str | Sequence[str] = True,
                 max_size: int | str | None = _sources.DEFAULT_MAX_SIZE) -> None:
        self.columns = columns
        self.filters = filters
        self.definitions = definitions
        self.errors = errors
        self.meta = meta
        self.required = required
        self.max_size = max_size

    def _report(self, error: DecodeError) -> None:
        if self.errors == "raise":
            raise error from None
        if self.errors == "warn":
            warnings.warn(str(error), RuntimeWarning, stacklevel=2)

    def _table(self, source: str | bytes | _sources.Loaded, base: int, errors: str = "raise") -> pd.DataFrame:
        """read_bufr on a path or buffer whose first message is message `base`
        of the whole read."""
        filters = self.filters
        if base and filters and "message_index" in filters:
            filters = {**filters, "message_index": _shift(filters["message_index"], base)}
        with warnings.catch_warnings():
            # A partition lacking a key says nothing of the others.
            warnings.simplefilter("ignore", AbsentKeyWarning)
            # Dask runs the partitions in parallel: each reads on one thread.
            # A Loaded (bytes already read, named as their file) is taken as
            # it is by the reader's sources, though no public source type.
            df = korvane.read_bufr(source, self.columns, filters,  # type: ignore[arg-type]
                                   required_columns=self.required,
                                   definitions=self.definitions, errors=errors,
                                   max_size=self.max_size, threads=1)
        if base and "message_index" in df.columns:
            df["message_index"] += base
        return df

    def _decode(self, view: memoryview, part: _Part, messages: NDArray[np.int64], lo: int, hi: int,
                first: int) -> list[pd.DataFrame]:
        """Tables of messages lo..hi-1, adjacent in the file with nothing
        damaged between them. A message that fails to decode is reported as
        the single-process reader reports it, naming the file and its offset
        there, and the reading goes on after it."""
        out = []
        while lo < hi:
            a = int(messages[lo, 1]) - part.start
            b = int(messages[hi - 1, 1] + messages[hi - 1, 2]) - part.start
            try:
                out.append(self._table(_sources.Loaded(None, view[a:b], part.name), first + lo))
                break
            except DecodeError as e:
                bad = lo + e.index
                if not (lo <= bad < hi and int(messages[bad, 1]) - part.start - a == e.offset):
                    raise
                self._report(DecodeError(e.reason, source=part.name, index=int(messages[bad, 0]),
                                         offset=int(messages[bad, 1]), kind=e.kind))
                # The messages before it decoded, but their rows went with the exception.
                out.extend(self._decode(view, part, messages, lo, bad, first))
                lo = bad + 1
        return out

    def pieces(self, part: _Part, base: int, limit: int | None = None) -> list[pd.DataFrame]:
        """The partition's tables (one, or one per stretch between damaged
        messages). `limit`: read only the first messages, about that many bytes."""
        base += part.before
        if part.messages is None and limit is None and isinstance(part.fs, LocalFileSystem):
            # A whole local file: read_bufr reads it as it would alone, and
            # names it in its errors itself.
            return [self._table(part.path, base, self.errors)]
        view, release = _open(part.fs, part.path, part.start, part.end, self.max_size)
        try:
            if limit is None and self.errors == "skip":
                # Nothing to report: damaged spans are skipped here as they are
                # in the whole file (the scan goes on 4 bytes after their start).
                return [self._table(_sources.Loaded(None, view, part.name), base, "skip")]
            if part.messages is None or part.problems is None:
                messages, problems = _scan(view, part.name)
            else:
                messages, problems = part.messages, part.problems
            if limit is not None:
                keep = np.cumsum(messages[:, 2]) <= limit
                keep[:1] = True
                messages, problems = messages[keep], []
            for e in problems:
                self._report(e)
            out = []
            for lo, hi in _runs(messages[:, 0]):
                out.extend(self._decode(view, part, messages, lo, hi, base))
            return out or [self._table(b"", 0)]
        finally:
            release()

    def __call__(self, part: _Part, base: int) -> pd.DataFrame:
        meta = self.meta
        assert meta is not None  # read_bufr sets it before any partition is read
        pieces = [_conform(df, meta, part.name) for df in self.pieces(part, base)]
        if len(pieces) == 1:
            return pieces[0]
        df = pd.concat(pieces, ignore_index=True)
        df.attrs = dict(meta.attrs)
        return df


def _conform(df: pd.DataFrame, meta: pd.DataFrame, name: str) -> pd.DataFrame:
    """A partition's table in the types of `meta`.

    read_bufr types a column by what the messages it read hold: a key that none
    of them has is float64, an integer element read among fractions is float64,
    numbers among texts are objects. A partition's column becomes the type the
    first files gave it where that loses nothing, the same widenings read_bufr
    makes when it joins messages; anything else is an error that names the file.
    """
    if list(df.columns) != list(meta.columns):
        if sorted(df.columns) != sorted(meta.columns):
            raise ValueError(f"{name}: columns {list(df.columns)} where meta has {list(meta.columns)}")
        df = df[list(meta.columns)]
    if len(df) == 0:
        return meta.copy()
    out = {}
    for col in meta.columns:
        s, target = df[col], meta.dtypes[col]
        if s.dtype == target:
            continue
        missing = s.isna().to_numpy()
        converted = None
        if missing.all():
            converted = pd.Series(np.full(len(s), None, dtype=object), index=df.index).astype(target)
        elif target == object:
            v = s.astype(object).to_numpy(copy=True)
            v[missing] = None
            converted = pd.Series(v, index=df.index, dtype=object)
        elif target == np.float64 and pd.api.types.is_integer_dtype(s.dtype):
            converted = pd.Series(s.to_numpy(dtype=np.float64, na_value=np.nan), index=df.index)
        elif isinstance(target, pd.Int64Dtype) and s.dtype == np.float64:
            try:  # whole numbers only
                converted = s.astype(target)
            except (TypeError, ValueError):
                pass
        if converted is None:
            raise TypeError(
                f"{name}: column {col!r} holds {s.dtype} values, not {target} as the first file's table "
                f"(or meta=) has it; pass meta= with the types to read them as"
            )
        out[col] = converted
    if out:
        df = df.assign(**out)
    df.attrs = dict(meta.attrs)
    return df


# ---- the collection ----------------------------------------------------------------------


def _files(paths: str | bytes | os.PathLike[str] | Sequence[str | bytes | os.PathLike[str]],
           storage_options: Mapping[str, Any] | None) -> list[tuple[Any, str, str, int]]:
    """(file system, path, name, size) of each file, in order: a local path,
    directory or glob expanded as korvane.read_bufr expands it (special files
    skipped with a warning, a named one refused), a URL or a glob in one with
    fsspec. Here a bytes path is a path."""
    items = [paths] if isinstance(paths, (str, bytes, os.PathLike)) else list(paths)
    notes: list[str] = []
    local = LocalFileSystem()
    out = []
    for item in items:
        item = os.fsdecode(item)
        if _sources.is_url(item) and not item.startswith(("file://", "local://")):
            fs, path = url_to_fs(item, **dict(storage_options or {}))
            if any(c in path for c in "*?["):
                found = fs.glob(path, detail=True)
                for p in sorted(p for p, info in found.items() if info.get("type") != "directory"):
                    out.append((fs, p, fs.unstrip_protocol(p), int(found[p]["size"])))
            else:
                out.append((fs, path, fs.unstrip_protocol(path), int(fs.size(path))))
            continue
        for f in _sources.expand([item], lambda path, kind: notes.append(f"{path}: skipped: {kind}, not a "
                                                                          "regular file")):
            if f.error is not None:
                raise FileNotFoundError(f"{f.name}: {f.error}")
            assert f.path is not None  # only standard input has none
            fd, st = _sources.open_regular(f.path)  # a FIFO or a device is refused here, by its name
            os.close(fd)
            out.append((local, f.path, f.name, st.st_size))
    for text in notes:
        warnings.warn(text, UserWarning, stacklevel=3)
    return out


def _compressed(fs: Any, path: str) -> bool:
    """Whether a file's first bytes are those of a compressed stream."""
    if isinstance(fs, LocalFileSystem):
        fd, _ = _sources.open_regular(path)
        try:
            head = os.pread(fd, 10, 0)
        finally:
            os.close(fd)
    else:
        head = fs.cat_file(path, start=0, end=10)
    return _sources.compression_of(head) is not None


def _partitions(fs: Any, path: str, name: str, file: int, size: int, limit: int) -> list[_Part]:
    """A file's partitions: the whole file when it is small or compressed,
    else groups of messages of about `limit` bytes each, cut at the start of a
    message."""
    if size <= limit or _compressed(fs, path):
        return [_Part(fs, path, name, file, 0, None, size, None, None, 0)]
    view, release = _open(fs, path)
    try:
        messages, problems = _scan(view, name)
    finally:
        release()
    firsts = [0]
    begin = 0
    for k, (offset, length) in enumerate(messages[:, 1:].tolist()):
        if k > firsts[-1] and offset + length - begin > limit:
            firsts.append(k)
            begin = offset
    parts = []
    for i, lo in enumerate(firsts):
        hi = firsts[i + 1] if i + 1 < len(firsts) else len(messages)
        start = 0 if i == 0 else int(messages[lo, 1])
        end = int(messages[hi, 1]) if hi < len(messages) else size
        mine = [e for e in problems if start <= e.offset < end]
        parts.append(_Part(fs, path, name, file, start, end, end - start, messages[lo:hi], mine, lo))
    return parts


def _wants_index(columns: str | Sequence[str] | None, filters: Mapping[str, Any] | None) -> bool:
    names = [columns] if isinstance(columns, str) else list(columns or [])
    return "message_index" in names or "message_index" in (filters or {})


def _sample(reader: _Reader, parts: list[_Part]) -> pd.DataFrame:
    """An empty table with the columns and types of the first files' rows."""
    sampler = _Reader(reader.columns, reader.filters, reader.definitions, "skip", required=reader.required,
                      max_size=reader.max_size)
    first = None
    read = 0
    for part in parts[:_SAMPLE_FILES]:
        for df in sampler.pieces(part, 0, limit=_SAMPLE_BYTES - read):
            if first is None:
                first = df
            if len(df):
                return df.iloc[:0]
        read += part.size
        if read >= _SAMPLE_BYTES:
            break
    assert first is not None  # there is a file, and each of its partitions gives a table
    return first.iloc[:0]


def read_bufr(paths: str | os.PathLike[str] | Sequence[str | os.PathLike[str]],
              columns: str | Sequence[str] | None = None, filters: Mapping[str, Any] | None = None, *,
              required_columns: bool | str | Sequence[str] = True,
              definitions: str | os.PathLike[str] | None = None, errors: str = "warn",
              partition_size: int | str = DEFAULT_PARTITION_SIZE, meta: Any = None,
              storage_options: Mapping[str, Any] | None = None,
              max_size: int | str | None = _sources.DEFAULT_MAX_SIZE) -> dd.DataFrame:
    """The observations of many BUFR files as a `dask.dataframe.DataFrame`.

    The table `korvane.read_bufr` gives for the same files in the same order:
    the same columns, rows and values. Each file is a partition, and a file
    larger than `partition_size` several, cut at message boundaries. Each
    partition numbers its rows from 0. With `message_index` among the columns
    or filters, each file's messages are counted first (one scan per file, in
    the graph) to number them through.

    Args:
        paths: A path, a directory (its files, recursively), a glob (files
            in sorted order), a URL (anything fsspec opens, globs too), or a
            list of them (in its order). Compressed files (gzip, bzip2, xz,
            zstd) are decompressed, each in one partition.
        columns: As for `korvane.read_bufr`.
        filters: As for `korvane.read_bufr`.
        required_columns: As for `korvane.read_bufr`.
        definitions: As for `korvane.read_bufr`; when given, it must name the
            same directory on every worker.
        errors: As for `korvane.read_bufr`; a damaged message is reported
            where its partition is read: `"raise"` fails the computation with
            its DecodeError, `"warn"` warns in the process that read it,
            `"skip"` drops it.
        partition_size: Files larger than this (bytes, or a string such as
            `"64MiB"`) are cut into partitions of about this size.
        meta: The columns' types (an empty DataFrame or a mapping of column
            to dtype); by default the types of the first file's table.
        storage_options: Passed to fsspec for remote files.
        max_size: As for `korvane.open`, for each file.

    Returns:
        The lazy table. Before it is computed only two things are read: the
            headers of files cut into several partitions, and, when `meta` is
            not given, the first messages of the first files (up to 1 MiB,
            until one gives a row) for the columns' types.

    Raises:
        FileNotFoundError: When no file matches `paths`.
        OSError: For a named file that is not a regular file (a FIFO, a
            device).
        KeyError: For a name no element table defines, as `korvane.read_bufr`
            raises it, before anything is read.
        TypeError, ValueError: For the arguments `korvane.read_bufr` refuses,
            an unknown `errors` or a `partition_size` that is not positive.

    No warning names a key that no file holds, as `korvane.read_bufr` gives
    one: that would take reading every file first.
    """
    if errors not in _ERRORS:
        raise ValueError(f"errors must be one of {', '.join(map(repr, _ERRORS))}, not {errors!r}")
    frames._Plan(columns, filters, False, required_columns, definitions)  # the names, checked here
    limit = parse_bytes(partition_size) if isinstance(partition_size, str) else int(partition_size)
    if limit <= 0:
        raise ValueError(f"partition_size must be positive, not {partition_size!r}")
    if definitions is not None:
        definitions = os.fspath(definitions)
    _sources.parse_size(max_size)  # a wrong one fails here, not in every task
    files = _files(paths, storage_options)
    if not files:
        raise FileNotFoundError(f"no files match {paths!r}")
    parts = []
    for j, (fs, path, name, size) in enumerate(files):
        parts.extend(_partitions(fs, path, name, j, size, limit))
    reader = _Reader(columns, filters, definitions, errors, required=required_columns, max_size=max_size)
    reader.meta = make_meta(meta) if meta is not None else _sample(reader, parts)

    bases = [0] * len(files)
    if _wants_index(columns, filters):
        counts: list[Any] = []  # ints, or the delayed counts of files read whole
        for j, (fs, path, _, _) in enumerate(files):
            split = [p.messages for p in parts if p.file == j and p.messages is not None]
            counts.append(sum(len(m) for m in split) if split
                          else dask.delayed(_count, pure=True)(fs, path, max_size))
        starts = dask.delayed(_starts, pure=True)(counts)
        bases = [starts[j] for j in range(len(files))]
    tasks = [dask.delayed(reader)(part, bases[part.file]) for part in parts]
    return dd.from_delayed(tasks, meta=reader.meta, verify_meta=False, prefix="read-bufr")
