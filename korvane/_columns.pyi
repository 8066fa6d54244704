"""The whole-file reader's entry points (used by korvane.reader)."""

from typing import Any, Sequence, final

from korvane._korvane import DecodedValue, TableSet

_Array = Any  # an object exporting a contiguous buffer of the item size named

@final
class Buffer:
    """Read-only bytes of one decoded column, kept alive by its owner (buffer protocol)."""

@final
class Columns:
    """The decoded items of one message, column by column."""

    @property
    def size(self) -> int:
        """The number of items."""
    def buffer(self, name: str) -> Buffer:
        """The bytes of one column: 'code' (uint32), 'kind' (uint8), 'missing' (uint8), 'value'
        (float64), 'raw' (uint64), 'subset_bounds' (uint64), 'groups' (records of begin, end,
        parent, node, subset) or 'references' (records of value, code, subset: the reference
        values 2 03 YYY defines). An item column of compressed data is laid out item by item when
        first asked for."""
    def texts(self) -> list[str]:
        """The message's texts, read as UTF-8 (an invalid byte becomes U+FFFD); a text item's raw
        value is its position here."""
    def text_bytes(self) -> list[bytes]:
        """The message's texts as the bytes read."""

def scan(data: bytes | bytearray | memoryview) -> tuple[Buffer, Buffer, list[tuple[int, int, int, str, str]]]:
    """Finds the messages of a buffer and parses their headers: (header records, descriptors,
    (index, offset, length, kind, text) for each damaged message)."""

def header_layout() -> tuple[int, list[tuple[str, str, int]]]:
    """The size of a header record and (name, NumPy format, offset) of each field."""

def load_tables(root: str, master_table: int, master_version: int, local_version: int, centre: int,
                subcentre: int, *, code_tables: bool = True, fallback: bool = True, source: str = "<buffer>",
                index: int = 0, offset: int = 0) -> tuple[str, int, TableSet]:
    """(key, version, tables): the TableSet a definitions root gives a message with these header
    fields, from the process's table cache; equal keys name equal sets; version is the master
    version read. Without code and flag tables when code_tables is false (see code_table).
    Raises korvane.DecodeError naming the message at source, index and offset."""

def installed_master_versions(root: str, master_table: int = 0) -> list[int]:
    """The master table versions a definitions root holds, ascending."""

def code_table(root: str, master_table: int, master_version: int, local_version: int, centre: int,
               subcentre: int, code: int, *, source: str = "<buffer>", index: int = 0,
               offset: int = 0) -> dict[int, str] | None:
    """The code or flag table of element `code` for a message with these header fields, as
    meanings by entry (by bit number, 1 the most significant, for a flag table), or None."""

def decode(data: bytes | bytearray | memoryview, offset: int, length: int, tables: TableSet,
           text_index: bool = False, structure: bool = False, *, source: str = "<buffer>",
           index: int = 0, max_items: int = 0) -> Columns:
    """Decodes the message at data[offset:offset + length] into Columns; raises
    korvane.DecodeError naming the message as message `index` of `source`."""

def decode_objects(data: bytes | bytearray | memoryview, offset: int, length: int, tables: TableSet, *,
                   source: str = "<buffer>", index: int = 0) -> list[DecodedValue]:
    """The items of a message of any edition as DecodedValue objects, as korvane._korvane's
    decoders give them; raises korvane.DecodeError naming the message."""

def encode(descriptors: Sequence[int], tables: TableSet, header: dict[str, int | bool | None], *,
           columns: Columns | None = None, subset_bounds: _Array | None = None, value: _Array | None = None,
           missing: _Array | None = None, raw: _Array | None = None, code: _Array | None = None,
           text: _Array | None = None, texts: Sequence[str | bytes] | None = None,
           references: _Array | None = None, compressed: bool = False, section1_local: bytes = b"",
           section2: bytes | None = None, even: int = 0) -> bytes:
    """Writes one message and returns its bytes. The items are a Columns object as decoding made
    it, read in place, or arrays of one entry per item, subset after subset: value (float64),
    missing (uint8), raw (uint64), code (uint32), text (uint64, an index into texts, or
    2**64 - 1), subset_bounds (uint64), references (int64, the new reference values of 2 03 YYY
    in order; by default a Columns object's own). header holds every header field by name (the
    typical date and time may be left out: the first subset's values of 0 04 001 to 0 04 006 are
    taken); section2 is the local data of section 2, or None for none; even has bit n - 1 set to
    pad section n to an even length."""

def resolve_table(descriptors: Sequence[int], tables: TableSet, rows: int,
                  columns: Sequence[tuple[int, bool, int, _Array | None, _Array | None]],
                  keys: dict[int, int], *, counts: _Array | None = None,
                  references: _Array | None = None) -> tuple[bytes, bytes, bytes, bytes, bytes, bytes]:
    """The items of a table of observations, one subset per row. columns holds (code or key,
    by_key, rank, values, texts) per column, keys maps element codes to key numbers: values a
    float64 array of one number per row (NaN missing), or texts a uint64 array of indices into
    the caller's texts (2**64 - 1 missing), the other None. Returns (subset_bounds, value, code,
    text, references, used) as bytes of uint64, float64, uint32, uint64, int64 and uint8 items,
    used[c * rows + r] telling whether an item took column c of row r."""

def section1(header: dict[str, int | bool | None], *, section1_local: bytes = b"", section2: bool = False,
             even: int = 0) -> bytes:
    """Section 1 of a message with these header fields (the typical date and time included), in the
    layout of its edition: section1_local are the octets after the identification fields, section2
    says whether the message has a section 2, even & 1 pads the section to an even length. Raises
    ValueError for a field that does not fit its octets in the edition."""
