"""The whole-file reader's entry points (used by korvane.reader)."""

from typing import final

from korvane._korvane import TableSet

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
        (float64), 'raw' (uint64), 'subset_bounds' (uint64) or 'groups' (records of begin, end,
        parent, node, subset). An item column of compressed data is laid out item by item when
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
