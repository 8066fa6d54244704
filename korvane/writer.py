"""Writing BUFR: ``korvane.encode`` and ``korvane.write_bufr``; ``Message.encode``
and ``Message.select_subsets`` come here too.

Values are written in the shape decoding gives them: the items of each subset
in the order the descriptors give them, so that what ``Message.decode``
returns can be written again as it is. The core walks the descriptors as the
decoder does and writes each item where the decoder reads it; a value keeps
the bits it was decoded from while it is unchanged, so that a message read
and written again is the same, bit for bit.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, Any, BinaryIO, NamedTuple

import numpy as np

from korvane import _columns, _korvane, _names
from korvane._tables import installed_master_versions, resolve_definitions, tables_for
from korvane.reader import _REFERENCE_DTYPE, Message, Values

if TYPE_CHECKING:
    import pandas
    import pyarrow
    from numpy.typing import NDArray


__all__ = ["encode", "write_bufr", "ENCODE_FIELDS"]

#: The header fields `encode` takes, with their defaults (None: see `encode`).
ENCODE_FIELDS: dict[str, Any] = {
    "edition": 4,
    "master_table_number": 0,
    "originating_centre": 0,
    "originating_subcentre": 0,
    "update_sequence_number": 0,
    "data_category": 0,
    "international_data_subcategory": 255,
    "local_data_subcategory": 0,
    "master_tables_version_number": None,
    "local_tables_version_number": 0,
    "typical_year": None,
    "typical_month": None,
    "typical_day": None,
    "typical_hour": None,
    "typical_minute": None,
    "typical_second": None,
    "observed_data": True,
}

_NO_TEXT = np.uint64(2**64 - 1)
# Header fields that choose a message's tables.
_TABLE_FIELDS = ("master_table_number", "master_tables_version_number", "local_tables_version_number",
                 "originating_centre", "originating_subcentre")


class _Items(NamedTuple):
    """The items of a message as the core's encoder takes them: arrays, or
    the decoder's own columns (`columns`, read in place)."""

    subset_bounds: NDArray[np.uint64] | NDArray[np.int64]
    value: NDArray[np.float64] | None
    missing: NDArray[np.uint8] | None
    raw: NDArray[np.uint64] | None
    code: NDArray[np.uint32] | None
    text: NDArray[np.uint64] | None  # an index into texts
    texts: Sequence[str | bytes]
    references: NDArray[np.void]  # the records of Values.references
    columns: _columns.Columns | None = None

    @property
    def number_of_subsets(self) -> int:
        return len(self.subset_bounds) - 1

    def select(self, subsets: Iterable[int], compressed_source: bool) -> _Items:
        """The items of these subsets, in this order (negative numbers count
        from the end)."""
        n = self.number_of_subsets
        chosen = np.array(list(subsets), dtype=np.int64).reshape(-1)
        bad = (chosen < -n) | (chosen >= n)
        if bad.any():
            raise IndexError(f"subset {int(chosen[bad][0])} out of range ({n} subsets)")
        chosen[chosen < 0] += n
        bounds = self.subset_bounds.astype(np.int64)
        starts, lengths = bounds[chosen], bounds[chosen + 1] - bounds[chosen]
        ends = np.cumsum(lengths)
        index = np.arange(int(ends[-1]) if len(ends) else 0) + np.repeat(starts - (ends - lengths), lengths)
        take = lambda a: None if a is None else a[index]  # noqa: E731
        refs = self.references
        if not compressed_source and len(refs):
            # Each subset's own reference values, numbered as the new subsets.
            picked = [refs[refs["subset"] == s] for s in chosen.tolist()]
            refs = np.concatenate(picked) if picked else refs[:0]
            refs["subset"] = np.repeat(np.arange(len(picked)), [len(p) for p in picked])
        return _Items(np.concatenate([[0], ends]).astype(np.uint64), take(self.value), take(self.missing),
                      take(self.raw), take(self.code), take(self.text), self.texts, refs)


def _references_for(items: _Items, source_compressed: bool, compressed: bool) -> NDArray[np.int64]:
    """The reference values in the order the walk takes them for the target:
    each subset's in turn (uncompressed), or once (compressed)."""
    refs = items.references
    if not len(refs):
        return np.zeros(0, dtype=np.int64)
    if source_compressed == compressed:
        return np.ascontiguousarray(refs["value"], dtype=np.int64)
    if compressed:
        first = refs[refs["subset"] == 0]
        for s in range(1, items.number_of_subsets):
            other = refs[refs["subset"] == s]
            if not np.array_equal(other["value"], first["value"]) or not np.array_equal(other["code"], first["code"]):
                raise ValueError(f"compressed data hold one set of new reference values (operator 2 03) for every "
                                 f"subset, but subset {s} defines others than subset 0")
        return np.ascontiguousarray(first["value"], dtype=np.int64)
    return np.ascontiguousarray(np.tile(refs["value"], items.number_of_subsets), dtype=np.int64)


# ---- values in -----------------------------------------------------------------------


def _from_values(values: Values, whole: bool = True) -> _Items:
    if whole and not values._edited:
        # The decoder's columns as they are: for compressed data, one row
        # and the columns that vary, so that the others cost nothing.
        return _Items(values.subset_bounds, None, None, None, None, None, [], values.references, values._columns)
    missing = values.missing
    return _Items(
        subset_bounds=np.ascontiguousarray(values.subset_bounds, dtype=np.uint64),
        value=np.ascontiguousarray(values.value, dtype=np.float64),
        missing=missing.view(np.uint8) if missing.dtype == np.bool_ else missing.astype(np.uint8),
        raw=np.ascontiguousarray(values.raw, dtype=np.uint64),
        code=np.ascontiguousarray(values.code, dtype=np.uint32),
        text=None,
        texts=values._encoding_texts(),
        references=values.references,
    )


def _from_plain(values: Any) -> _Items:
    """Items from a 2-D array (a subset per row) or a sequence of subsets,
    each a sequence of item values: numbers, None or NaN for missing, str or
    bytes for texts."""
    if isinstance(values, np.ndarray) and values.ndim == 2 and values.dtype.kind in "fiub":
        rows, width = values.shape
        value = np.ascontiguousarray(values, dtype=np.float64).reshape(-1)
        bounds = np.arange(rows + 1, dtype=np.uint64) * np.uint64(width)
        # No item is a text: a text element must then be missing.
        return _Items(bounds, value, None, None, None, np.full(len(value), _NO_TEXT), [],
                      np.zeros(0, dtype=_REFERENCE_DTYPE))
    if isinstance(values, (str, bytes)) or not isinstance(values, Iterable):
        raise TypeError("values must be a korvane.Values, or a sequence of subsets, each a sequence of item "
                        f"values; not {type(values).__name__!r}")
    flat: list[float] = []
    text_index: list[int] = []
    texts: list[str | bytes] = []
    ends = [0]
    for subset in values:
        if isinstance(subset, (str, bytes)) or not isinstance(subset, Iterable):
            raise TypeError(f"each subset must be a sequence of item values, not {type(subset).__name__!r}")
        for v in subset:
            if isinstance(v, (str, bytes)):
                text_index.append(len(texts))
                texts.append(v)
                flat.append(float("nan"))
            else:
                text_index.append(-1)
                flat.append(float("nan") if v is None else float(v))
        ends.append(len(flat))
    value = np.array(flat, dtype=np.float64)
    text = np.array(text_index, dtype=np.int64).astype(np.uint64)  # -1 becomes the no-text mark
    return _Items(np.array(ends, dtype=np.uint64), value, None, None, None, text, texts,
                  np.zeros(0, dtype=_REFERENCE_DTYPE))


def _items(values: Any, whole: bool = True) -> _Items:
    """The items of `values`; `whole`: all of them will be written, and a
    Values may lend its decoder's columns."""
    if isinstance(values, Values):
        return _from_values(values, whole)
    return _from_plain(values)


# ---- the header ----------------------------------------------------------------------


def _check_fields(fields: Mapping[str, Any]) -> None:
    unknown = set(fields) - set(ENCODE_FIELDS)
    if unknown:
        raise TypeError(f"unknown header fields: {', '.join(sorted(unknown))} (the fields are "
                        f"{', '.join(ENCODE_FIELDS)})")


def _header_defaults(fields: Mapping[str, Any], definitions: str | os.PathLike[str] | None) -> dict[str, Any]:
    """The header fields given, with the defaults of ENCODE_FIELDS and the
    newest master tables version installed in the definitions root. The typical date and
    time not given are left out: the writer takes them from the first
    subset."""
    _check_fields(fields)
    header = {k: v for k, v in ENCODE_FIELDS.items() if v is not None}
    header.update({k: v for k, v in fields.items() if v is not None})
    if "master_tables_version_number" not in header:
        root = resolve_definitions(definitions)
        versions = installed_master_versions(root, header["master_table_number"])
        if not versions:
            raise ValueError(f"no master tables are installed in {root}: give master_tables_version_number")
        header["master_tables_version_number"] = versions[-1]
    return header


def _tables(tables: _korvane.TableSet | None, definitions: str | os.PathLike[str] | None,
            header: Mapping[str, Any]) -> _korvane.TableSet:
    if tables is not None:
        if not isinstance(tables, _korvane.TableSet):
            raise TypeError(f"tables must be a TableSet, not {type(tables).__name__!r}")
        return tables
    return tables_for(resolve_definitions(definitions), *(header[k] for k in _TABLE_FIELDS))


def _write(descriptors: Sequence[int], items: _Items, tables: _korvane.TableSet, header: dict[str, Any],
           compressed: bool, *,
           source_compressed: bool | None = None, section1_local: bytes = b"", section2: bytes | None = None,
           even: int | None = None) -> bytes:
    if source_compressed is None:
        source_compressed = compressed
    # The decoder's columns bring their own reference values, in the order
    # that a walk of the same compression takes them.
    same_walk = items.columns is not None and source_compressed == compressed
    references = None if same_walk else _references_for(items, source_compressed, compressed)
    if even is None:
        even = _even(header["edition"])
    arrays: dict[str, Any]
    if items.columns is not None:
        arrays = {"columns": items.columns}
    else:
        arrays = {"subset_bounds": items.subset_bounds, "value": items.value, "missing": items.missing,
                  "raw": items.raw, "code": items.code, "text": items.text, "texts": items.texts}
    return _columns.encode(descriptors, tables, header, references=references,
                           compressed=compressed, section1_local=section1_local, section2=section2, even=even,
                           **arrays)


def encode(descriptors: Sequence[int], values: Any, *, compressed: bool = False,
           tables: _korvane.TableSet | None = None, definitions: str | os.PathLike[str] | None = None,
           local_section: bytes | None = None, references: Sequence[int] | None = None, **header: Any) -> bytes:
    """Writes one BUFR message from its descriptors and the values of its subsets.

    The values are the items of each subset in the order the descriptors
    give them: the shape `Message.decode` returns, so that a decoded message
    can be written again as it is (`Message.encode` does that with its own
    header). Every item counts: elements (delayed replication factors and
    data present indicators included), associated fields, the placeholders of
    operators such as 2 22 000 (whose values are ignored) and texts inserted
    by 2 05 YYY.

    Args:
        descriptors: The unexpanded descriptors of section 3, as codes
            `F*100000 + X*1000 + Y` (301011 is 3 01 011).
        values: A `korvane.Values`, which keeps the exact bits of every value
            it was decoded from (see `Values.replace` to change some); or a
            sequence of subsets, each a sequence of item values (numbers;
            None or NaN for missing; str, written as UTF-8, or bytes for
            texts); or a 2-D NumPy array of numbers, a subset per row.
        compressed: Whether to write compressed data: every subset must then
            have the same items (the same replication counts). Each element
            takes the least reference and the fewest increment bits that hold
            its values.
        tables: The TableSet to encode with. By default the tables a reader
            would choose for the header (master table, its version, local
            version, centre, sub-centre) from `definitions`.
        definitions: An ecCodes-style definitions root (see `korvane.open`).
        local_section: The local data of section 2, or None for no section 2.
        references: For values other than a Values (which carries its
            own): the new reference values that operator 2 03 YYY defines,
            which are not items, in the order the descriptors define them,
            each subset's in turn (once for compressed data).
        **header: Header fields, named as the `Message` properties:
            `edition` (4, or 3 or 2), `master_table_number`,
            `originating_centre`, `originating_subcentre`,
            `update_sequence_number`, `data_category`,
            `international_data_subcategory`, `local_data_subcategory`,
            `master_tables_version_number`, `local_tables_version_number`,
            `typical_year` ... `typical_second`, `observed_data` (see
            `korvane.writer.ENCODE_FIELDS` for their defaults). The master
            tables version defaults to the newest installed; the typical
            date and time to the first subset's year, month, day, hour,
            minute and second (its first items of 0 04 001 to 0 04 006),
            minute and second to 0 without them.

    Returns:
        The message.

    Raises:
        ValueError: When the values do not fit the descriptors: a value
            outside the range its width, scale and reference can hold (it is
            never wrapped or clipped), a subset with more or fewer items than
            its descriptors take, a missing replication count, a descriptor
            the tables lack, compressed subsets that differ; a header
            field that does not fit its octets, or a typical date given
            neither as header fields nor by the data. The text names the
            subset, the item (both counted from 0), the descriptor and the
            value.
        TypeError: For values of another shape, or unknown header fields.
    """
    items = _items(values)
    if references is not None:
        if isinstance(values, Values):
            raise TypeError("a Values carries its own reference values: give references only with other values")
        records = np.zeros(len(references), _REFERENCE_DTYPE)
        records["value"] = np.asarray(list(references), dtype=np.int64)
        items = items._replace(references=records)
    full = _header_defaults(header, definitions)
    table_set = _tables(tables, definitions, full)
    source_compressed = values.compressed if isinstance(values, Values) else bool(compressed)
    return _write([int(d) for d in descriptors], items, table_set, full, bool(compressed),
                  source_compressed=source_compressed,
                  section2=local_section)


# ---- messages written again ------------------------------------------------------------

_KEEP = object()


# Editions 2 and 3 pad every section to an even length: bits 0 to 3 of the
# writer's `even` stand for sections 1 to 4.
_ALL_EVEN = 0b1111


def _even(edition: int) -> int:
    return _ALL_EVEN if edition < 4 else 0


def _parts(message: Message) -> tuple[list[int], dict[str, Any], bytes, bytes | None, int]:
    """What a message is written again with, kept by the Message: its
    descriptors, its header fields, section 1's local octets, section 2's
    data and the sections to pad to even lengths, from its own bytes:
    sections 1 and 2 come whole, and sections 3 and 4 are padded where the
    message's own are (many producers leave them odd, whatever the
    edition)."""
    if message._encoding is not None:
        return message._encoding
    h = message._header
    b = message.bytes
    fields = 22 if h["edition"] == 4 else 17
    section1_local = bytes(b[8 + fields: 8 + h["section1_length"]])
    section2 = None
    if h["local_section_present"]:
        start = 8 + h["section1_length"]
        section2 = bytes(b[start + 4: start + h["section2_length"]])
    even = (0b100 if h["section3_length"] % 2 == 0 else 0) | (0b1000 if h["section4_length"] % 2 == 0 else 0)
    header = {k: h[k] for k in ENCODE_FIELDS}
    message._encoding = (message.unexpanded_descriptors, header, section1_local, section2, even)
    return message._encoding


def encode_message(message: Message, values: Any = None, *, compressed: bool | None = None,
                   subsets: Sequence[int] | None = None, fields: Mapping[str, Any] | None = None) -> bytes:
    """Message.encode and Message.select_subsets: the message written again
    with its own header, but for the fields given, and the parts of it that
    the header fields do not describe (section 1's local octets, section 2,
    the padding of sections to even lengths)."""
    descriptors, own, section1_local, section2, even = _parts(message)
    fields = dict(fields or {})
    local_section = fields.pop("local_section", _KEEP)
    header = own
    if fields:
        _check_fields(fields)
        header = {**own, **fields}
        if header["edition"] != own["edition"]:
            even = _even(header["edition"])
    target = bool(message._header["compressed_data"] if compressed is None else compressed)
    if values is None:
        values = message.decode()
    if (not fields and local_section is _KEEP and subsets is None and isinstance(values, Values)
            and not values._edited and values.compressed == target):
        # The message written again from its decoded columns, as it was
        # (the common case, kept short).
        return _columns.encode(descriptors, message.tables, header, columns=values._columns, compressed=target,
                               section1_local=section1_local, section2=section2, even=even)
    items = _items(values, whole=subsets is None)
    source_compressed = values.compressed if isinstance(values, Values) else target
    if subsets is not None:
        items = items.select(subsets, source_compressed)
    if message._file._tables is not None:
        tables = message._file._tables
    elif fields and any(header[k] != own[k] for k in _TABLE_FIELDS):
        # The tables the new header names, so that the message reads back
        # with its values.
        tables = _tables(None, message._file.definitions, header)
    else:
        tables = message.tables
    if local_section is not _KEEP:
        section2 = None if local_section is None else bytes(local_section)
    return _write(descriptors, items, tables, header, target, source_compressed=source_compressed,
                  section1_local=section1_local, section2=section2, even=even)


# ---- tables of observations ----------------------------------------------------------


def _table_access(table: Any) -> tuple[list[str], int, Callable[[str], NDArray[np.float64]],
                                       Callable[[str], list[Any]]]:
    """The column names and rows of a pandas DataFrame, pyarrow Table or
    mapping of columns, with functions giving a column as numbers (float64,
    NaN missing) and as a list of objects."""
    mod = type(table).__module__.split(".")[0]
    if mod == "pandas":
        names = [str(c) for c in table.columns]
        by_name = dict(zip(names, table.columns))

        def numbers(name: str) -> NDArray[np.float64]:
            return table[by_name[name]].to_numpy(dtype=np.float64, na_value=np.nan)

        def objects(name: str) -> list[Any]:
            return table[by_name[name]].tolist()

        return names, len(table), numbers, objects
    if mod == "pyarrow":
        import pyarrow as pa

        def numbers(name: str) -> NDArray[np.float64]:
            return table.column(name).cast(pa.float64()).to_numpy(zero_copy_only=False)

        def objects(name: str) -> list[Any]:
            return table.column(name).to_pylist()

        return list(table.column_names), table.num_rows, numbers, objects
    if isinstance(table, Mapping):
        names = [str(k) for k in table]
        lengths = {len(v) for v in table.values()}
        if len(lengths) > 1:
            raise ValueError("the columns of the table differ in length")

        def numbers(name: str) -> NDArray[np.float64]:
            return np.array([np.nan if v is None else v for v in table[name]], dtype=np.float64)

        def objects(name: str) -> list[Any]:
            return list(table[name])

        return names, lengths.pop() if lengths else 0, numbers, objects
    raise TypeError(f"table must be a pandas DataFrame, a pyarrow Table or a mapping of columns, "
                    f"not {type(table).__name__!r}")


def _missing(v: object) -> bool:
    return v is None or (isinstance(v, float) and v != v) or type(v).__name__ in ("NAType", "NaTType")


def _named(structure: _names.Structure, key_numbers: Mapping[str, int],
           name: str) -> tuple[list[int], tuple[int, bool], int]:
    """The codes of the template's elements that a column's name selects, what
    the core ranks the column over, and the rank (1 when none is named):
    (code, False) for a name by code; (key number, True) for a key, ranked over
    every element of that key."""
    key, code, rank = _names.split(name)
    rank = max(rank, 1)
    if code is not None:
        return [code], (code, False), rank
    assert key is not None  # a name that is no code is a key
    codes = structure.by_key.get(key, [])
    return codes, (key_numbers[key] if codes else -1, True), rank


def write_bufr(table: pandas.DataFrame | pyarrow.Table | Mapping[str, Sequence[Any]],
               template: int | Sequence[int], path_or_file: str | os.PathLike[str] | BinaryIO, *,
               compressed: bool = False, subsets_per_message: int | None = None,
               replications: Sequence[int] | Mapping[str, int] | None = None,
               references: Sequence[int] | None = None, tables: _korvane.TableSet | None = None,
               definitions: str | os.PathLike[str] | None = None, local_section: bytes | None = None,
               **header: Any) -> int:
    """Writes a table of observations as BUFR: one subset per row, with a template such as 3 07 080.

    Columns are named by key as `korvane.read_bufr` names them: an element's
    key ("airTemperature"), its code ("012101"), either with a rank
    ("#2#airTemperature", the second item of that key in a subset; no rank
    is rank 1). Each element of the template takes the column of its key
    and rank in the row, and is missing where there is none (or where the
    row holds None or NaN). The message-level columns of read_bufr
    (message_index, subset, edition, data_category, originating_centre,
    typical_datetime, data_datetime) are passed over; any other column
    that names no item of the template is an error, so that a misspelt key
    does not vanish. A table read with `read_bufr(..., flat=True)` is written
    back this way.

    A delayed replication takes its count from the column of its factor
    ("delayedDescriptorReplicationFactor", ranked in the same way), else from
    `replications`, else from the table: the number of further ranks of the
    first element of the replicated group that have a column ("#2#...",
    "#3#..."), less those at the end that are missing in the row. That suits
    groups whose elements occur nowhere else in the template, such as the
    levels of a sounding; where they do (the cloud layers of 3 07 080 share
    their keys with other groups), give the factor's column or
    `replications`. A value that no item takes (a rank beyond the row's
    count) is an error, never dropped.

    Args:
        table: A pandas DataFrame, a pyarrow Table or a mapping of column
            names to sequences.
        template: The descriptors of section 3: one code (307080) or a list.
        path_or_file: A path, or a binary file object to write to.
        compressed: Whether to write compressed data (every row must then
            have the same replication counts).
        subsets_per_message: Rows per message; by default all rows in one
            message (a message holds at most 65535).
        replications: The delayed replication counts for the factors that
            have no column: a list, in the order each subset meets them; or
            a mapping from the factor's ranked key to its count
            (`{"#1#delayedDescriptorReplicationFactor": 3}`).
        references: The new reference values of operator 2 03 YYY, in the
            order the template defines them, the same for every row.
        tables: The TableSet to use; by default the tables a reader would
            choose for the header, from `definitions`.
        definitions: An ecCodes-style definitions root (see `korvane.open`).
        local_section: The local data of section 2, or None for none.
        **header: Header fields, as `korvane.encode` takes them (the typical
            date and time default to the first row's year ... second).

    Returns:
        The number of messages written.

    Raises:
        ValueError: For a column that names no item of the template, a
            count that cannot be found, or values that do not fit (see
            `korvane.encode`).
        TypeError: For a table of another kind, or unknown header fields.
    """
    descriptors = [int(template)] if isinstance(template, (int, np.integer)) else [int(d) for d in template]
    if subsets_per_message is not None and not 1 <= subsets_per_message <= 65535:
        raise ValueError("subsets_per_message must be between 1 and 65535")
    names, rows, numbers, objects = _table_access(table)
    base = _header_defaults(header, definitions)
    table_set = _tables(tables, definitions, base)

    structure = _names.Structure(table_set, descriptors)
    key_numbers = {key: k for k, key in enumerate(sorted(structure.by_key))}
    keys = {code: key_numbers[key] for key, codes in structure.by_key.items() for code in codes}
    skip = set(_names.MESSAGE_COLUMNS) | {"data_datetime"}
    columns: list[tuple[int, bool, int, NDArray[np.float64] | None, NDArray[np.uint64] | None]] = []
    column_names: list[str] = []
    texts: list[str | bytes] = []
    unknown_columns = []
    for name in names:
        if name in skip:
            continue
        codes, target, rank = _named(structure, key_numbers, name)
        if not codes:
            unknown_columns.append(name)
            continue
        code = codes[0]
        element = structure.element(code)
        if element is not None and element.text:
            ids = np.full(rows, _NO_TEXT, dtype=np.uint64)
            for r, v in enumerate(objects(name)):
                if not _missing(v):
                    ids[r] = len(texts)
                    texts.append(v if isinstance(v, (str, bytes)) else str(v))
            columns.append((*target, rank, None, ids))
        else:
            try:
                values = np.ascontiguousarray(numbers(name), dtype=np.float64)
            except (TypeError, ValueError) as e:
                raise ValueError(f"column {name!r} of element {code:06d} must hold numbers: {e}") from None
            columns.append((*target, rank, values, None))
        column_names.append(name)
    counts = None
    if isinstance(replications, Mapping):
        for key, count in replications.items():
            codes, target, rank = _named(structure, key_numbers, key)
            if not codes or any(c // 1000 != 31 for c in codes):
                raise ValueError(f"replications: {key!r} names no replication factor of the template")
            columns.append((*target, rank, np.full(rows, float(count)), None))
            column_names.append(key)
    elif replications is not None:
        counts = np.asarray(list(replications), dtype=np.int64)
    refs = np.zeros(0, dtype=np.int64) if references is None else np.asarray(list(references), dtype=np.int64)
    bounds, value, code_bytes, text, _, used = _columns.resolve_table(
        descriptors, table_set, rows, columns, keys, counts=counts, references=np.tile(refs, rows))
    if unknown_columns:
        raise ValueError(f"columns that name no item of the template {descriptors}: {', '.join(unknown_columns)}")
    # A value that no item took would be lost: a rank beyond the row's
    # replications, say.
    taken = np.frombuffer(used, np.uint8).reshape(len(columns), rows).astype(bool)
    for (_, _, _, numbers_in, text_ids), name, took in zip(columns, column_names, taken):
        present = ~np.isnan(numbers_in) if numbers_in is not None else text_ids != _NO_TEXT
        lost = np.flatnonzero(present & ~took)
        if len(lost):
            raise ValueError(f"row {lost[0]}: column {name!r} holds a value, but the template gives that row no "
                             f"such item (the row's replication counts are too small for it?)")
    items = _Items(np.frombuffer(bounds, np.uint64), np.frombuffer(value, np.float64), None, None,
                   np.frombuffer(code_bytes, np.uint32), np.frombuffer(text, np.uint64), texts,
                   np.zeros(0, _REFERENCE_DTYPE))
    step = subsets_per_message or 65535
    messages = []
    for lo in range(0, rows, step):
        part = items.select(range(lo, min(rows, lo + step)), compressed_source=True)
        # The walk of each subset meets the same reference values.
        n = 1 if compressed else part.number_of_subsets
        records = np.zeros(len(refs) * n, _REFERENCE_DTYPE)
        records["value"] = np.tile(refs, n)
        part = part._replace(references=records)
        messages.append(_write(descriptors, part, table_set, base, bool(compressed),
                               section2=local_section))
    if isinstance(path_or_file, (str, os.PathLike)):
        with open(path_or_file, "wb") as f:
            for m in messages:
                f.write(m)
    else:
        for m in messages:
            path_or_file.write(m)
    return len(messages)
