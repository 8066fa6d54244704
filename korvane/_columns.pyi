"""The whole-file reader's entry points (used by korvane.reader)."""

from typing import Any, Callable, Sequence, final

from korvane._korvane import DecodedValue, TableSet

_Array = Any  # an object exporting a contiguous buffer of the item size named

@final
class Buffer:
    """Read-only bytes of one decoded column, kept alive by its owner (buffer protocol)."""

    def __buffer__(self, flags: int, /) -> memoryview: ...

@final
class Columns:
    """The decoded items of one message, column by column."""

    @property
    def size(self) -> int:
        """The number of items."""
    def buffer(self, name: str, /) -> Buffer:
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

# The type of read_table's result, which the module does not name.
@final
class _Table:
    """The rows and columns read by read_table()."""

    @property
    def rows(self) -> int:
        """The number of rows."""
    @property
    def messages_read(self) -> int:
        """The messages whose tables were found (read, or passed over unread)."""
    def row_message(self) -> Buffer:
        """Per row, the position of its message among those read (uint64)."""
    def row_subset(self) -> Buffer:
        """Per row, its subset (uint32)."""
    def column(self, k: int, /) -> tuple[Buffer, Buffer, Buffer | None, list[tuple[int, str, str, str, int]]]:
        """(value, state, text, elements) of selector k: value (float64, NaN when missing or absent), state
        (uint8: 0 absent, 1 missing, 2 present), text (int64 positions in texts(), -1 for none; None when
        no item is a text), and (code, type, unit, name, scale) of each element whose items filled it, in
        the order met."""
    def ints(self, k: int, /) -> bytearray | None:
        """The values of selector k as int64 (0 where not present), as a bytearray, or None when a present
        value is no whole number below 2**62 in magnitude."""
    def texts(self) -> list[str]:
        """The texts, read as UTF-8, as a list of str."""
    def dense(self, where: _Array, /) -> tuple[bytearray, bytearray, bytearray]:
        """The cells of the flat columns that `where` (an int64 per column: its row in the result, or -1)
        places, as a matrix of a row per placed column: (values, present, whole) as bytearrays of float64
        (NaN where missing or absent), of bools, and of a bool per placed column: whether its present
        values are all whole numbers below 2**62 in magnitude."""
    def flat(self) -> dict[str, Any]:
        """The cells of a flat table: row, column, state, value, text (buffers), and per column its name
        "#rank#key" and, as uint32 buffers, its rank, its key (a position in keys, the distinct keys) and
        its element (a position in elements, the distinct elements of the columns' first items, as
        column() gives them)."""
    def failures(self) -> list[tuple[int, str, str]]:
        """(position, kind, text) of each message that could not be read, in order."""
    def fallbacks(self) -> list[tuple[int, int, int]]:
        """(master table, version named, version read) where a message's master version was not
        installed."""
    def found(self) -> list[bool]:
        """Per selector, whether the template of a message read could give it."""
    def held_keys(self) -> list[str]:
        """The keys the templates of the messages read can give, sorted."""

def scan(data: bytes | bytearray | memoryview, /) -> tuple[Buffer, Buffer, list[tuple[int, int, int, str, str]]]:
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

def read_table(data: bytes | bytearray | memoryview, headers: _Array, selection: _Array | None,
               request: tuple[Any, ...], tables: TableSet | str, *, threads: int = 1, max_items: int = 0,
               stop_on_failure: bool = False) -> _Table:
    """Reads the messages of `data` whose header records (the headers buffer of scan()) are at the
    positions of `selection` (uint64; None for all) into a Table: their rows assembled by `request`,
    (selectors, required, filters, needed, flat), with selectors (key, code, rank), required and needed
    lists of selector groups, filters (selector, range, numbers, texts, low, high). `tables` is a
    TableSet for every message or a definitions root. Runs without the interpreter lock, on up to
    `threads` threads; the result is the same for any number."""

def dump_lines(columns: Columns, subsets: _Array, per: int, positions: _Array, offsets: _Array | None,
               pieces_of: _Array, pieces: list[tuple[str, str, Callable[[int], str] | None]], texts: list[str],
               heads: bool, /) -> bytes:
    """The lines of korvane dump for the subsets of a decoded message numbered in `subsets` (uint64), as
    UTF-8 bytes. `per` > 0: every subset holds `per` items alike, and `positions` (uint64) are the
    printed items' positions in a subset; `per` 0: `positions` are items of the message, those of the
    k-th printed subset from offsets[k] to offsets[k + 1]. `pieces_of` (uint32) gives for each position
    its piece in `pieces`, (head, tail, meaning): a line is head, the value, tail and, for an item that
    is not missing, meaning(raw) when meaning is not None. With `heads`, "## subset N" (from 1) comes
    before each subset's lines."""

def timestamps(rows: int, year: tuple[str, _Array, _Array | None, _Array] | None,
               month: tuple[str, _Array, _Array | None, _Array] | None,
               day: tuple[str, _Array, _Array | None, _Array] | None,
               hour: tuple[str, _Array, _Array | None, _Array] | None,
               minute: tuple[str, _Array, _Array | None, _Array] | None,
               second: tuple[str, _Array, _Array | None, _Array] | None, /) -> bytearray:
    """The timestamps of `rows` rows, as a bytearray of int64 microseconds since 1970 (the least int64
    where a part is missing or the date or time impossible). Each part is None (no row has it) or
    (kind, values, mask, absent): kind "f" (float64 values), "i" (int64 values, with a bool mask of
    missing ones or None) or "-" (no numbers), and `absent` a bool per row that lacks the part. Year,
    month and day are missing where absent; hour, minute and second count as 0."""
