"""Whole files of BUFR messages: ``korvane.open``, ``BufrFile``, ``Message`` and ``Values``.

A file is read into memory of this process (korvane._sources: never mapped,
so that another process truncating it cannot fault this one; decompressed when
it is gzip, bzip2, xz or zstd data), a buffer is viewed in place, its messages
are found and their headers parsed in one pass, and each message decodes on
demand into NumPy columns. Reading, parsing and decoding release the
interpreter lock.
"""

from __future__ import annotations

import builtins
import io
import mmap
import os
import warnings
from pathlib import Path
from typing import TYPE_CHECKING, Any, Generic, Iterable, Iterator, Mapping, Sequence, TypeVar, Union, overload

import numpy as np

from korvane import _columns, _items, _korvane, _sources
from korvane.errors import DecodeError
from korvane._tables import resolve_definitions, tables_for

if TYPE_CHECKING:
    from numpy.typing import NDArray

__all__ = ["open", "BufrFile", "Message", "Values", "DecodeError", "HEADER_FIELDS"]

Source = Union[str, "os.PathLike[str]", bytes, bytearray, memoryview, mmap.mmap, "io.RawIOBase", "io.BufferedIOBase"]

_ITEMSIZE, _LAYOUT = _columns.header_layout()
_HEADER_DTYPE = np.dtype(
    {
        "names": [name for name, _, _ in _LAYOUT],
        "formats": [fmt for _, fmt, _ in _LAYOUT],
        "offsets": [offset for _, _, offset in _LAYOUT],
        "itemsize": _ITEMSIZE,
    }
)
_GROUP_FIELDS = (("begin", "<u8"), ("end", "<u8"), ("parent", "<i8"), ("node", "<u4"), ("subset", "<u4"))
_GROUP_DTYPE = np.dtype(list(_GROUP_FIELDS))
_REFERENCE_DTYPE = np.dtype([("value", "<i8"), ("code", "<u4"), ("subset", "<u4")])
_HEADER_NAMES = tuple(name for name, _, _ in _LAYOUT)
_INTERNAL = {"index", "offset", "descriptors_begin", "descriptors_end"}

#: The header fields of a Message, under the names of ``BufrMessage``.
HEADER_FIELDS = tuple(name for name, _, _ in _LAYOUT if name not in _INTERNAL)

#: Item kinds in ``Values.kind``.
from korvane._items import ASSOCIATED_FIELD, CHARACTER, INSERTED_TEXT, NUMERIC, OPERATOR  # noqa: E402,F401

_ERRORS = ("raise", "warn", "skip")


# ---- files -----------------------------------------------------------------------------


def open(source: Source, *, definitions: str | os.PathLike[str] | None = None,
         tables: _korvane.TableSet | None = None, errors: str = "raise", max_items: int | None = None,
         max_size: int | str | None = _sources.DEFAULT_MAX_SIZE,
         storage_options: Mapping[str, Any] | None = None) -> BufrFile:
    """Opens a file, URL, file object or buffer of BUFR messages (editions 2 to 4) as a BufrFile.

    The messages are found and their headers parsed at once; each message's
    data is decoded only when asked for (`Message.decode`).

    Args:
        source: One of:

            - a path (`str` or `os.PathLike`) of a regular file, read whole
              into memory of this process when opened (FIFOs, sockets and
              devices are refused);
            - a URL such as `"https://..."`, `"s3://bucket/key"` or
              `"memory://x"`, read with fsspec (the optional extra
              `korvane[remote]`; `file://` URLs are read as local files);
            - a file object, anything with `read` (a file opened `"rb"`,
              `io.BytesIO`, an HTTP response, a member of a tar or zip
              archive), read once to its end;
            - a `bytes`, `bytearray`, `memoryview` or `mmap`, viewed in place.

            Data compressed with gzip, bzip2, xz or zstd are recognised by
            their first bytes and decompressed. Bytes between messages, such
            as bulletin headings, are skipped. A `bytes` source is always the
            data, never a file name: one that holds no BUFR message but
            spells a file name raises TypeError.
        definitions: An ecCodes-style definitions root to take each
            message's tables from, chosen by its header. By default the first
            entry of `$ECCODES_DEFINITION_PATH` holding `bufr/tables`, else
            `/usr/share/eccodes/definitions`, else the tables korvane carries
            (see `korvane.tables_info()`). It is looked for when the first
            message needs its tables.
        tables: One `TableSet` for every message, instead of a definitions root.
        errors: What a damaged message does: `"raise"` raises DecodeError,
            `"warn"` warns (RuntimeWarning) and `"skip"` stays silent; both
            of these record it in `BufrFile.errors` and read the other
            messages. With `"raise"`, a message cut short at the end of the
            data (a file still being written) raises only when iteration
            reaches it: the messages before it can be read.
        max_items: The most items one message may give when decoded; a
            message that would give more fails with a DecodeError of kind
            `"limit"` before its items are stored. korvane's own bound, which
            always holds, is some 25 million items per MiB of a message's
            data (three per bit), far above real data; give a lower one to
            bound the memory a hostile file can take.
        max_size: The most bytes read from a file object or URL, and the most
            that decompressing the source may give (an int, or a text such as
            `"512MiB"`; None: no bound). 4 GiB by default.
        storage_options: Passed to fsspec for a URL (credentials, endpoint).

    Returns:
        The messages, a sequence and a context manager.

    Raises:
        DecodeError: With `errors="raise"`, for the first message that cannot
            be parsed (except one cut short at the end, see `errors`).
        OSError: When the file cannot be opened or is not a regular file
            (IsADirectoryError for a directory), or, with `errors="raise"`,
            when it shrank while it was read (with `"warn"` and `"skip"`, the
            messages it still held are read and `errors` says so).
        TypeError: For a source that is none of the above, or a `bytes`
            source that spells a file name.
        ValueError: For an `errors` other than the three above, data past
            `max_size`, or compressed data holding no BUFR message (with
            `errors="raise"`).
        ImportError: For a URL without fsspec installed, or zstd data on a
            Python before 3.14 without `backports.zstd`.
    """
    return BufrFile(source, definitions=definitions, tables=tables, errors=errors, max_items=max_items,
                    max_size=max_size, storage_options=storage_options)


class BufrFile:
    """The messages of one file or buffer: a sequence of Message, and a context manager.

    Made by `korvane.open`, which takes the same arguments. `len()`, indexing
    (slices too) and iteration count the messages that could be parsed; those
    that could not are in `errors` (with `errors="warn"` or `"skip"`). Leaving
    the `with` block, or `close()`, releases the file's bytes: the messages
    keep their header fields, but can no longer be decoded.

    Attributes:
        name: The file's path or URL, a file object's name, or `"<buffer>"`.
        compression: `"gzip"`, `"bzip2"`, `"xz"` or `"zstd"` when the data
            were decompressed, else None.
        errors: A DecodeError for each message that could not be parsed or
            decoded, in the order met (with `errors="warn"` or `"skip"`).
        errors_mode: The `errors` argument: `"raise"`, `"warn"` or `"skip"`.
        headers: The header fields of every parsed message as one NumPy
            structured array, a record per message, its fields named as the
            `Message` properties (and `index`, `offset`).
    """

    def __init__(self, source: Source, *, definitions: str | os.PathLike[str] | None = None,
                 tables: _korvane.TableSet | None = None, errors: str = "raise", max_items: int | None = None,
                 max_size: int | str | None = _sources.DEFAULT_MAX_SIZE,
                 storage_options: Mapping[str, Any] | None = None) -> None:
        if errors not in _ERRORS:
            raise ValueError(f"errors must be one of {', '.join(map(repr, _ERRORS))}, not {errors!r}")
        if max_items is not None and (isinstance(max_items, bool) or not isinstance(max_items, int) or max_items < 1):
            raise ValueError(f"max_items must be a positive int or None, not {max_items!r}")
        self.max_items = max_items
        if tables is not None and not isinstance(tables, _korvane.TableSet):
            raise TypeError(f"tables must be a TableSet, not {type(tables).__name__!r}")
        self._closed = True  # until the bytes are read
        self._data = _sources.load(source, max_size=max_size, storage_options=storage_options)
        self._closed = False
        if self._data.changed is not None and errors == "raise":
            self._data.release()
            raise OSError(f"{self._data.name}: {self._data.changed}")
        self._view = self._data.view
        self.name = self._data.name
        self.compression = self._data.compression
        self._definitions = os.fsdecode(definitions) if isinstance(definitions, bytes) else definitions
        self._root: Path | None = None
        self._tables = tables
        self.errors_mode = errors
        self.errors: list[DecodeError] = []
        self._last: DecodeError | None = None  # raised when iteration reaches it
        headers, descriptors, problems = _columns.scan(self._view)
        self.headers = np.frombuffer(headers, dtype=_HEADER_DTYPE)
        self._descriptors = np.frombuffer(descriptors, dtype=np.uint32)
        problems = list(problems)
        found = len(self.headers) + len(problems)
        if errors == "raise" and problems and self._cut_short(problems[-1][1]):
            index, offset, _length, kind, text = problems.pop()
            self._last = DecodeError(text, source=self.name, index=index, offset=offset, kind=kind)
        for index, offset, _length, kind, text in problems:
            self._report(DecodeError(text, source=self.name, index=index, offset=offset, kind=kind))
        problem = self._data.problem or self._data.changed
        if problem is not None:
            # The bytes end early: compressed data cut short, or (with "warn"
            # and "skip") a file that shrank while it was read. What came
            # before is read.
            kind = "damaged" if self._data.problem is not None and "damaged" in problem else "truncated"
            error = DecodeError(problem, source=self.name, index=found, offset=len(self._view), kind=kind)
            if errors == "raise":
                last = self._last
                self._last = error if last is None else DecodeError(
                    f"{last.reason} ({problem})", source=self.name, index=last.index, offset=last.offset,
                    kind=last.kind)
            else:
                self._report(error)
        if self.compression is not None and found == 0 and problem is None:
            text = f"{self.name}: no BUFR message after {self.compression} decompression ({len(self._view)} bytes)"
            if errors == "raise":
                self.close()
                raise ValueError(text)
            if errors == "warn":
                warnings.warn(text, RuntimeWarning, stacklevel=3)

    def _cut_short(self, offset: int) -> bool:
        """Whether a damaged message at `offset` is the last thing in the data
        and declares more bytes than remain: a message still being written."""
        if len(self.headers) and int(self.headers["offset"][-1]) > offset:
            return False
        remaining = len(self._view) - offset
        return remaining < 8 or int.from_bytes(self._view[offset + 4 : offset + 7], "big") > remaining

    def _report(self, error: DecodeError) -> None:
        if self.errors_mode == "raise":
            self.close()
            raise error
        self.errors.append(error)
        if self.errors_mode == "warn":
            warnings.warn(str(error), RuntimeWarning, stacklevel=4)

    @property
    def definitions(self) -> Path:
        """The definitions root the messages take their tables from."""
        if self._root is None:
            self._root = resolve_definitions(self._definitions)
        return self._root

    def __len__(self) -> int:
        return len(self.headers)

    @overload
    def __getitem__(self, i: int) -> Message: ...
    @overload
    def __getitem__(self, i: slice) -> list[Message]: ...
    def __getitem__(self, i: int | slice) -> Message | list[Message]:
        # A Message is made when asked for and kept by no one but the caller,
        # so that iterating a large file holds one message at a time.
        if isinstance(i, slice):
            return [self[j] for j in range(*i.indices(len(self)))]
        n = len(self.headers)
        j = i + n if i < 0 else i
        if not 0 <= j < n:
            raise IndexError(f"message {i} out of range ({n} messages)")
        return Message(self, j)

    def __iter__(self) -> Iterator[Message]:
        for j in range(len(self.headers)):
            yield Message(self, j)
        if self._last is not None:
            raise self._last

    def __enter__(self) -> BufrFile:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self) -> None:
        """Releases the file's bytes (or the buffer); the messages can then no
        longer be decoded. Bytes of a message still held (`Message.bytes`)
        stay readable, and keep the memory until they go."""
        self._closed = True
        self._data.release()

    def _check_open(self, m: Message) -> None:
        if self._closed:
            raise DecodeError("the BufrFile is closed: decode its messages before closing it (leaving its with "
                              "block closes it)", source=self.name, index=m.index, offset=m.offset, kind="closed")

    def __repr__(self) -> str:
        return f"<korvane.BufrFile {self.name!r}: {len(self)} messages, {len(self.errors)} errors>"


def _header_property(name: str) -> property:
    def get(self: Message) -> Any:
        return self._header[name]

    get.__name__ = name
    return property(get, doc=f"The header field {name}.")


class Message:
    """One message of a BufrFile: its header fields, its bytes, its tables, and `decode()`.

    Made by indexing or iterating a BufrFile.

    Each header field is a read-only property named as in `BufrMessage`,
    whatever the edition (the names are listed in `korvane.reader.HEADER_FIELDS`):
    `edition`, `originating_centre`, `data_category`, `number_of_subsets`,
    `compressed_data`, `typical_year` ... `typical_second` and the rest.
    `typical_year` is a full year and `typical_second` is 0 before edition 4.

    Attributes:
        index: The message's position among the messages found in its file,
            damaged ones included (as in DecodeError), counted from 0.
        position: Its position in the BufrFile, which counts only the
            messages that could be parsed.
    """

    __slots__ = ("_file", "_header", "_tables", "_bytes", "_encoding", "index", "position")

    def __init__(self, file: BufrFile, position: int) -> None:
        self._file = file
        self.position = position
        record = file.headers[position]
        self._header: dict[str, Any] = dict(zip(_HEADER_NAMES, record.item()))
        self.index: int = self._header["index"]
        self._tables: _korvane.TableSet | None = None
        self._bytes: memoryview | None = None
        # What writing it again takes from its bytes (korvane.writer).
        self._encoding: tuple[list[int], dict[str, Any], builtins.bytes, builtins.bytes | None, int] | None = None

    @property
    def offset(self) -> int:
        """The message's byte offset in its file or buffer."""
        return self._header["offset"]

    @property
    def length(self) -> int:
        """The message's length in bytes (its total_length)."""
        return self._header["total_length"]

    @property
    def unexpanded_descriptors(self) -> list[int]:
        """The descriptors of section 3."""
        h = self._header
        return self._file._descriptors[h["descriptors_begin"] : h["descriptors_end"]].tolist()

    @property
    def bytes(self) -> memoryview:
        """The message's bytes, viewed in place."""
        if self._bytes is None:
            self._file._check_open(self)
            self._bytes = self._file._view[self.offset : self.offset + self.length]
        return self._bytes

    @property
    def header(self) -> dict[str, Any]:
        """Every header field by name."""
        h = {k: v for k, v in self._header.items() if k not in _INTERNAL}
        h["unexpanded_descriptors"] = self.unexpanded_descriptors
        return h

    @property
    def tables(self) -> _korvane.TableSet:
        """The TableSet the message decodes with."""
        if self._tables is None:
            if self._file._tables is not None:
                self._tables = self._file._tables
            else:
                h = self._header
                self._tables = tables_for(
                    self._file.definitions, h["master_table_number"], h["master_tables_version_number"],
                    h["local_tables_version_number"], h["originating_centre"], h["originating_subcentre"],
                    source=self._file.name, index=self.index, offset=self.offset,
                )
        return self._tables

    def decode(self, *, structure: bool = False) -> Values:
        """The message's items as NumPy columns.

        Each call decodes the data section again; the tables are loaded once
        per message (and cached for the process, see `korvane.tables_info`).

        Args:
            structure: Whether to record the occurrences of replicated groups
                too (`Values.groups`).

        Returns:
            The items of every subset, subset after subset.

        Raises:
            DecodeError: When the data cannot be decoded or the tables the
                message names cannot be loaded.
            DecodeError: Of kind `"closed"` when its BufrFile is closed.
        """
        self._file._check_open(self)
        tables = self.tables
        columns = _columns.decode(self._file._view, self.offset, self.length, tables, structure=structure,
                                  source=self._file.name, index=self.index, max_items=self._file.max_items or 0)
        return Values(columns, tables, self._header["number_of_subsets"],
                      compressed=bool(self._header["compressed_data"]))

    def decode_objects(self) -> list[_korvane.DecodedValue]:
        """The message's items as a list of `DecodedValue` objects.

        The same items as `decode()`, one Python object each, as
        `decode_values_with_tables` gives them (its value rules: see
        `korvane.reader`'s text for where they differ from `decode()`'s):
        slower and larger, but each value comes with its name, bits, text
        and code-table meaning. Messages of editions 2 to 4 alike.

        Raises:
            DecodeError: When the data cannot be decoded or the tables the
                message names cannot be loaded.
            DecodeError: Of kind `"closed"` when its BufrFile is closed.
        """
        self._file._check_open(self)
        self._file._check_open(self)
        return _columns.decode_objects(self._file._view, self.offset, self.length, self.tables,
                                       source=self._file.name, index=self.index)

    def encode(self, values: Values | None = None, *, compressed: bool | None = None,
               **header_fields: int | bool | builtins.bytes | None) -> builtins.bytes:
        """The message written again: from its own values, or others, with header fields replaced.

        `m.encode()` gives the message back: an uncompressed message bit for
        bit, a compressed one too where its producer used the fewest
        increment bits (otherwise the same values in fewer bits). Like
        `bufr_set -s`, header fields given replace the message's own; what
        the header fields do not describe (section 1's octets for local use,
        section 2, the padding of sections to even lengths) is kept. A change
        of master table, tables version, centre or sub-centre writes the
        values with the tables the new header names.

        Args:
            values: The items to write, in the shape `decode()` gives them
                (see `korvane.encode`); by default the message's own.
            compressed: Whether to write compressed data; by default as the
                message is.
            **header_fields: Header fields to replace (`korvane.encode` lists
                them; `edition` converts between editions 2 to 4), and
                `local_section`: the local data of section 2 (bytes), or None
                to leave section 2 out.

        Returns:
            The message's bytes.

        Raises:
            DecodeError: When the message cannot be decoded.
            ValueError: When the values do not fit the descriptors or a
                header field does not fit its octets (see `korvane.encode`).
        """
        from korvane.writer import encode_message

        return encode_message(self, values, compressed=compressed, fields=header_fields)

    def select_subsets(self, indices: Iterable[int], *, compressed: bool | None = None) -> builtins.bytes:
        """A new message holding these subsets of this one, with its header.

        Args:
            indices: Subset numbers, counted from 0 (negative ones from the
                end), in the order wanted; a subset may come more than once.
            compressed: Whether to write compressed data; by default as the
                message is.

        Returns:
            The new message's bytes.

        Raises:
            IndexError: For a subset number out of range.
            ValueError: When compressed data are asked for and the subsets
                differ in their replication counts.
        """
        from korvane.writer import encode_message

        return encode_message(self, None, compressed=compressed, subsets=list(indices))

    def __repr__(self) -> str:
        h = self._header
        return (f"<korvane.Message {self.index} at offset {self.offset}: edition {h['edition']}, "
                f"centre {h['originating_centre']}, category {h['data_category']}, "
                f"{h['number_of_subsets']} subsets{', compressed' if h['compressed_data'] else ''}>")


for _name in HEADER_FIELDS:
    if not hasattr(Message, _name):
        setattr(Message, _name, _header_property(_name))
del _name




_Item = TypeVar("_Item", bound=np.generic)


class _Column(Generic[_Item]):
    """An array of Values viewing one of the decoder's columns, made on first
    use: a caller who reads only ``value`` pays for no other array."""

    def __init__(self, dtype: type[_Item]) -> None:
        self.dtype = dtype

    def __set_name__(self, owner: type, name: str) -> None:
        self.name = name

    @overload
    def __get__(self, values: None, owner: type | None = None) -> _Column[_Item]: ...
    @overload
    def __get__(self, values: Values, owner: type | None = None) -> NDArray[_Item]: ...
    def __get__(self, values: Values | None, owner: type | None = None) -> _Column[_Item] | NDArray[_Item]:
        if values is None:
            return self
        array = np.frombuffer(values._columns.buffer(self.name), dtype=self.dtype)
        values.__dict__[self.name] = array  # later reads find the array itself
        return array


class Values:
    """The decoded items of one message as NumPy columns, subset after subset.

    Made by `Message.decode`. The arrays have one entry per item (`len()`
    of the Values), and view memory the decoder filled: reading them copies
    nothing. Each is made when first read: for compressed data, where most
    columns hold one value for every subset, the decoder keeps the message
    as coded until an array is asked for, and then lays that array out item
    by item, so that a caller who reads only `value` pays for no other.

    A message is written again from its Values by `Message.encode` or
    `korvane.encode`; `replace` gives Values with some items changed.

    Attributes:
        code: Descriptor code of each item (uint32), `F*100000 + X*1000 + Y`;
            999999 for an associated field.
        kind: What each item is (uint8): 0 numeric element, 1 character
            element, 2 associated field, 3 operator placeholder, 4 text
            inserted by operator 2 05 YYY (the constants `NUMERIC`,
            `CHARACTER`, `ASSOCIATED_FIELD`, `OPERATOR`, `INSERTED_TEXT` of
            `korvane.reader`).
        value: The physical value (float64), `(bits + reference) / 10**scale`;
            NaN where missing and for texts.
        missing: Whether the item is missing, all its bits set (bool).
        raw: The bits read (uint64); for a text, its position in `texts`.
        subset_bounds: `subset_bounds[s]:subset_bounds[s + 1]` are the items
            of subset s (int64, `number_of_subsets + 1` entries).
        number_of_subsets: The message's number of subsets.
        compressed: Whether the message holds compressed data.
        tables: The TableSet the message was decoded with.
    """

    def __init__(self, columns: _columns.Columns, tables: _korvane.TableSet, number_of_subsets: int, *,
                 compressed: bool = False) -> None:
        self._columns = columns
        self.tables = tables
        self.number_of_subsets = number_of_subsets
        self.compressed = compressed
        self._subset: NDArray[np.int64] | None = None
        self._text: NDArray[np.object_] | None = None
        self._texts: list[str] | None = None
        self._raw_texts: list[bytes] | None = None
        self._edited = False  # made by replace(): its arrays differ from the decoder's
        self._elements: dict[int, _korvane.ElementDefinition | None] = {}

    code = _Column(np.uint32)
    kind = _Column(np.uint8)
    missing = _Column(np.bool_)
    value = _Column(np.float64)
    raw = _Column(np.uint64)

    @property
    def subset_bounds(self) -> NDArray[np.int64]:
        """Items of subset s are ``subset_bounds[s]:subset_bounds[s + 1]``."""
        bounds = self.__dict__.get("_bounds")
        if bounds is None:
            bounds = np.frombuffer(self._columns.buffer("subset_bounds"), dtype=np.uint64).astype(np.int64)
            self.__dict__["_bounds"] = bounds
        return bounds

    def __len__(self) -> int:
        return self._columns.size

    @property
    def subset(self) -> NDArray[np.int64]:
        """The 0-based subset of each item."""
        if self._subset is None:
            self._subset = np.repeat(np.arange(self.number_of_subsets, dtype=np.int64), np.diff(self.subset_bounds))
        return self._subset

    @property
    def texts(self) -> list[str]:
        """The message's distinct texts, read as UTF-8 (a byte that is not
        UTF-8 becomes U+FFFD; `text_bytes` has the bytes), trailing spaces and
        NULs removed."""
        if self._texts is None:
            self._texts = self._columns.texts()
        return self._texts

    @property
    def text_bytes(self) -> NDArray[np.object_]:
        """Per item: the bytes of a character item as read (trailing spaces
        and NULs removed; None when missing), else None."""
        out = np.full(len(self), None, dtype=object)
        has = ((self.kind == CHARACTER) | (self.kind == INSERTED_TEXT)) & ~self.missing
        if has.any():
            texts = np.empty(len(self._columns.text_bytes()), dtype=object)
            texts[:] = [t.rstrip(b" \x00") for t in self._columns.text_bytes()]
            out[has] = texts[self.raw[has].astype(np.intp)]
        return out

    @property
    def text(self) -> NDArray[np.object_]:
        """Per item: the text of a character item (None when missing), else None."""
        if self._text is None:
            out = np.full(len(self), None, dtype=object)
            has = ((self.kind == CHARACTER) | (self.kind == INSERTED_TEXT)) & ~self.missing
            if has.any():
                texts = np.empty(len(self.texts), dtype=object)
                texts[:] = self.texts
                out[has] = texts[self.raw[has].astype(np.intp)]
            self._text = out
        return self._text

    @property
    def references(self) -> NDArray[np.void]:
        """The new reference values that operator 2 03 YYY defines, which are
        not items: a structured array of `value` (int64), `code` (uint32, the
        element whose reference it is) and `subset` (uint32), in the order
        the data hold them (once, as subset 0, for compressed data)."""
        references = self.__dict__.get("_references")
        if references is None:
            references = np.frombuffer(self._columns.buffer("references"), dtype=_REFERENCE_DTYPE)
            self.__dict__["_references"] = references
        return references

    def _encoding_texts(self) -> list[bytes]:
        """The texts that text items' raw values index, as the bytes decoded
        (trailing NULs kept), for writing."""
        if self._raw_texts is None:
            self._raw_texts = self._columns.text_bytes()
        return self._raw_texts

    def replace(self, index: int | Sequence[int] | slice | NDArray[np.integer[Any] | np.bool_], values: Any) -> Values:
        """New Values with the items at `index` set to `values`, for writing.

        The other items keep their values and the bits they were decoded
        from; the items replaced are written from their new values (see
        `korvane.encode`), or as missing.

        Args:
            index: An item number, a sequence or array of them, a slice or a
                boolean mask over the items.
            values: One value for every item chosen, or a sequence of one per
                item: a number, None or NaN for missing, str or bytes for a
                text item.

        Returns:
            The changed copy; these Values are left as they are.

        Raises:
            TypeError: For a text given to a numeric item, or a number to a
                text item.
            IndexError: For an item number out of range.
        """
        chosen = np.arange(len(self))[index]
        chosen = np.atleast_1d(chosen)
        if isinstance(values, (str, bytes)) or np.ndim(values) == 0:
            values = [values] * len(chosen)
        elif len(values) != len(chosen):
            raise ValueError(f"{len(values)} values for {len(chosen)} items")
        value = self.value.copy()
        missing = self.missing.copy()
        raw = self.raw.copy()
        texts = list(self._encoding_texts())
        kind = self.kind
        for i, v in zip(chosen.tolist(), values):
            is_text = kind[i] in (CHARACTER, INSERTED_TEXT)
            if isinstance(v, (str, bytes)):
                if not is_text:
                    raise TypeError(f"item {i} ({int(self.code[i]):06d}) is numeric; {v!r} is a text")
                raw[i] = len(texts)
                texts.append(v if isinstance(v, bytes) else v.encode("utf-8"))
                missing[i] = False
                value[i] = np.nan
            elif v is None or (isinstance(v, float) and np.isnan(v)):
                missing[i] = True
                value[i] = np.nan
                if is_text:
                    raw[i] = np.uint64(2**64 - 1)
            else:
                if is_text:
                    raise TypeError(f"item {i} ({int(self.code[i]):06d}) is a text; {v!r} is a number")
                value[i] = float(v)
                missing[i] = False
        new = Values(self._columns, self.tables, self.number_of_subsets, compressed=self.compressed)
        new.__dict__.update(value=value, missing=missing, raw=raw)
        new._edited = True
        new._raw_texts = texts
        new._texts = [t.decode("utf-8", "replace").rstrip(" \x00") for t in texts]
        return new

    @property
    def groups(self) -> dict[str, NDArray[np.int64]]:
        """Occurrences of replicated groups, recorded by `decode(structure=True)`.

        Arrays (int64) with one entry per occurrence of a replicated group:
        `begin` and `end` (its items are `begin:end`), `parent` (the index of
        the enclosing occurrence, or -1), `node` (which replication of the
        descriptors it is an occurrence of) and `subset`.
        """
        records = self.group_records
        return {name: records[name].astype(np.int64) for name, _ in _GROUP_FIELDS}

    @property
    def group_records(self) -> NDArray[np.void]:
        """The same occurrences as `groups`, as one structured array viewing the
        decoder's memory (fields `begin`, `end`: uint64; `parent`: int64;
        `node`, `subset`: uint32), in subset order: a slice of it costs no
        copy of the rest."""
        return np.frombuffer(self._columns.buffer("groups"), dtype=_GROUP_DTYPE)

    def _element(self, code: int) -> _korvane.ElementDefinition | None:
        try:
            return self._elements[code]
        except KeyError:
            e = self._elements[code] = self.tables.get_element(int(code))
            return e

    @staticmethod
    def _special(code: int) -> str | None:
        special = _items.special(int(code))
        return special[0] if special is not None else None

    def name(self, code: int) -> str:
        """The element name of a code ("" when the tables lack it); "associatedField",
        "operator" or "text" for those kinds of item."""
        special = self._special(code)
        if special is not None:
            return special
        e = self._element(code)
        return e.name if e is not None else ""

    def unit(self, code: int) -> str:
        """The unit of a code's element ("" when there is none)."""
        e = None if self._special(code) is not None else self._element(code)
        return e.unit if e is not None else ""

    def key(self, code: int) -> str:
        """The ecCodes-style key of a code: its element's abbreviation, such as
        "airTemperature", or for tables without abbreviations a key made from
        its name, as read_bufr names columns; the code as six digits when the
        tables have no such element;
        "associatedField", "operator" or "text" for those kinds of item."""
        special = self._special(code)
        if special is not None:
            return special
        e = self._element(code)
        if e is None:
            return f"{int(code):06d}"
        return e.abbreviation or _items.key_from_name(e.name) or f"{int(code):06d}"

    def __repr__(self) -> str:
        return f"<korvane.Values: {len(self)} items in {self.number_of_subsets} subsets>"
