"""Decoding of WMO FM 94 BUFR edition 4 messages: message headers, BUFR tables,
descriptor expansion and the values of the data section.

Errors of the decoder itself (a malformed message, an unreadable or malformed
table, a failed expansion or decoding) are raised as ``ValueError`` whose one
argument is the error's text. Arguments of the wrong type raise ``TypeError``
(``"argument '<name>': ..."``), ints out of range ``OverflowError``. Exhausted
memory raises ``MemoryError``.

Descriptor codes are plain ints ``F*100000 + X*1000 + Y``: element 0 01 001 is
1001, sequence 3 01 011 is 301011.
"""

from typing import Sequence, final

__all__ = [
    "BufrMessage",
    "DecodedValue",
    "Descriptor",
    "ElementDefinition",
    "SequenceDefinition",
    "TableSet",
    "parse_bytes",
    "parse_file",
    "parse_all_bytes",
    "parse_all_file",
    "expand_descriptors",
    "decode_values",
    "decode_values_with_tables",
    "decode_values_with_definitions",
]

@final
class BufrMessage:
    """The header of one BUFR edition 4 message: the identification fields of
    section 1, the structure of section 3 and where the data of section 4 lie.

    Made only by the parse functions; read-only. Offsets are counted from the
    first byte of the message (the "B" of "BUFR").
    """

    @property
    def total_length(self) -> int:
        """Length of the message in bytes (section 0's total length)."""
    @property
    def edition(self) -> int:
        """BUFR edition number; always 4."""
    @property
    def section1_length(self) -> int:
        """Length of section 1 in bytes, as declared."""
    @property
    def master_table_number(self) -> int:
        """Master table number (0 for meteorology)."""
    @property
    def originating_centre(self) -> int:
        """Identification of the originating or generating centre."""
    @property
    def originating_subcentre(self) -> int:
        """Identification of the originating or generating sub-centre."""
    @property
    def update_sequence_number(self) -> int:
        """Update sequence number (0 for an original message)."""
    @property
    def local_section_present(self) -> bool:
        """Whether the message has the optional section 2 (any non-zero flag octet)."""
    @property
    def data_category(self) -> int:
        """Data category (Table A)."""
    @property
    def international_data_subcategory(self) -> int:
        """International data sub-category."""
    @property
    def local_data_subcategory(self) -> int:
        """Local data sub-category."""
    @property
    def master_tables_version_number(self) -> int:
        """Version number of the master tables the message is encoded with."""
    @property
    def local_tables_version_number(self) -> int:
        """Version number of the local tables; 0 when none are used."""
    @property
    def typical_year(self) -> int:
        """Year of the most typical time of the data."""
    @property
    def typical_month(self) -> int:
        """Month of the most typical time of the data."""
    @property
    def typical_day(self) -> int:
        """Day of the most typical time of the data."""
    @property
    def typical_hour(self) -> int:
        """Hour of the most typical time of the data."""
    @property
    def typical_minute(self) -> int:
        """Minute of the most typical time of the data."""
    @property
    def typical_second(self) -> int:
        """Second of the most typical time of the data."""
    @property
    def section2_length(self) -> int:
        """Length of section 2 in bytes; 0 when there is no section 2."""
    @property
    def section3_length(self) -> int:
        """Length of section 3 in bytes."""
    @property
    def number_of_subsets(self) -> int:
        """Number of data subsets in the message."""
    @property
    def observed_data(self) -> bool:
        """Whether section 3 flags the data as observed (bit 0x80)."""
    @property
    def compressed_data(self) -> bool:
        """Whether section 3 flags the data as compressed (bit 0x40)."""
    @property
    def unexpanded_descriptors(self) -> list[int]:
        """The descriptor codes of section 3 in message order, unexpanded. A new
        list on every access."""
    @property
    def section4_length(self) -> int:
        """Length of section 4 in bytes."""
    @property
    def section4_data_offset(self) -> int:
        """Offset of the first data byte of section 4 (its start plus 4)."""
    @property
    def section4_data_length(self) -> int:
        """Number of data bytes in section 4 (its length minus 4, at least 0)."""

@final
class DecodedValue:
    """One decoded data item of a message. Made only by the decode functions;
    read-only.

    An item is one of four kinds:

    - numeric element: ``raw`` holds the bits read, ``raw_value`` the physical
      value (None when the value is missing, all bits set), ``raw_meaning`` the
      code or flag table entry for ``raw`` when the tables have one;
    - character element (unit "CCITT IA5"): ``raw_text`` holds the text (None
      when missing), ``raw_value`` a text index ``k*1000 + width/8`` where k counts
      the character items of the message from 1, ``raw`` is None;
    - associated field (descriptor 999999, name "associatedField"): ``raw`` and
      ``raw_value`` hold the bits read;
    - operator placeholder (the operator's own code, name "operator"):
      ``raw_value`` 0.0 and ``raw`` 0.
    """

    @property
    def descriptor(self) -> int:
        """Descriptor code of the item (999999 for an associated field)."""
    @property
    def name(self) -> str:
        """Element name from Table B, "associatedField" or "operator"."""
    @property
    def raw_value(self) -> float | None:
        """The physical value: ``(bits + reference) / 10**scale`` for a numeric element,
        None when the value is missing; the text index for a character element;
        the bits for an associated field; 0.0 for an operator placeholder."""
    @property
    def raw(self) -> int | None:
        """The bits as read from the data section (present even when the value is
        missing); None for a character element."""
    @property
    def raw_text(self) -> str | None:
        """The text of a character element, trailing white space removed; None when
        the field is all ones (missing) and for every other kind of item."""
    @property
    def raw_meaning(self) -> str | None:
        """The code or flag table meaning of ``raw`` for a numeric element, or None
        when the tables have no entry for it. Flag values are looked up whole,
        not bit by bit."""
    @property
    def data(self) -> str | float | None:
        """The most useful form of the value: ``raw_text`` when present, else
        ``raw_meaning`` when present, else ``raw_value`` (which may be None)."""

@final
class Descriptor:
    """A descriptor as its F, X and Y parts, packed into a code ``F*100000 + X*1000 + Y``.

    Each part is an int in 0..255 (TypeError for a non-int, OverflowError out of
    range). Descriptors compare and hash by identity.
    """

    def __new__(cls, f: int, x: int, y: int) -> Descriptor:
        """A descriptor of the given parts, stored unchanged."""
    @property
    def fxy(self) -> int:
        """The packed code ``F*100000 + X*1000 + Y``."""
    @staticmethod
    def from_fxy(code: int) -> Descriptor:
        """The descriptor of a packed code (0..4294967295); F and Y are kept to
        their low 8 bits, so codes of real descriptors round-trip through ``fxy``."""

@final
class ElementDefinition:
    """A copy of one Table B entry, as returned by ``TableSet.get_element``."""

    @property
    def code(self) -> int:
        """Descriptor code of the element."""
    @property
    def abbreviation(self) -> str:
        """Short mnemonic name ("" for the WMO CSV tables, which have none)."""
    @property
    def element_type(self) -> str:
        """Value type: the ecCodes type column, or for the WMO CSV tables one of
        "string", "code", "flags" or "long" by the unit."""
    @property
    def name(self) -> str:
        """Element name."""
    @property
    def unit(self) -> str:
        """Unit; "CCITT IA5" marks character data."""
    @property
    def scale(self) -> int:
        """Scale: the value read is divided by ``10**scale``."""
    @property
    def reference(self) -> int:
        """Reference value, added to the bits read before scaling."""
    @property
    def width(self) -> int:
        """Data width in bits."""

@final
class SequenceDefinition:
    """A copy of one Table D entry, as returned by ``TableSet.get_sequence``."""

    @property
    def code(self) -> int:
        """Descriptor code of the sequence."""
    @property
    def members(self) -> list[int]:
        """The sequence's descriptor codes in table order (a new list on every access)."""

@final
class TableSet:
    """BUFR tables: Table B elements, Table D sequences and code and flag tables,
    each keyed by descriptor code. Read-only once loaded; one TableSet can serve
    any number of decoding calls.

    ``TableSet()`` is empty; the static methods load one. Loading failures
    (a missing or unreadable file or directory, a malformed line, a special
    file such as a FIFO) raise ValueError.
    """

    def __init__(self) -> None:
        """An empty TableSet."""
    @property
    def element_count(self) -> int:
        """Number of Table B elements."""
    @property
    def sequence_count(self) -> int:
        """Number of Table D sequences."""
    def get_element(self, code: int) -> ElementDefinition | None:
        """A copy of the element stored under ``code``, or None."""
    def get_sequence(self, code: int) -> SequenceDefinition | None:
        """A copy of the sequence stored under ``code``, or None."""
    def get_meaning(self, code: int, raw: int) -> str | None:
        """The meaning of the value ``raw`` in the code or flag table of element
        ``code``, or None when there is no such table or entry."""
    def expand(self, descriptors: Sequence[int]) -> list[int]:
        """The descriptor list expanded with these tables: each sequence replaced by
        its members, fixed replications unrolled, a delayed replication kept as
        its factor descriptor followed by one copy of its block; operators that
        change width, scale, reference or character width dropped; while an
        associated field (2 04 YYY) is in force, each element outside class 31 is
        preceded by 999999. Any sequence of ints is accepted (a list or tuple is
        read for the items it holds).

        Raises ValueError for a sequence missing from Table D, a replication
        without its block or factor, an invalid descriptor, nesting deeper than
        64 levels, or an expansion beyond 1048576 codes or 4194304 descriptor
        visits (far above any real template); ValueError too for a list longer
        than 16777216 codes.
        """
    @staticmethod
    def from_eccodes(path: str) -> TableSet:
        """Tables from an ecCodes-style table directory: ``element.table``,
        ``sequence.def`` and, when present, ``codetables/<code>.table``."""
    @staticmethod
    def from_bufr4_45(path: str) -> TableSet:
        """Tables from a directory of the WMO BUFR4 CSV files
        (``BUFRCREX_TableB_en_*.csv`` and ``BUFR_TableD_en_*.csv``); no code tables."""
    @staticmethod
    def from_definitions(path: str, message: BufrMessage) -> TableSet:
        """The tables ``message`` names, from an ecCodes definitions root: the WMO
        tables of its master table and version, then, when it declares local
        tables, those of its centre and sub-centre on top (missing local tables
        are no error)."""

def parse_bytes(data: bytes) -> BufrMessage:
    """Parses ``data`` as exactly one message: bytes after its end are refused.
    Raises ValueError for a malformed message."""

def parse_file(path: str) -> BufrMessage:
    """Reads the file at ``path`` (with the interpreter lock released) and parses
    it as exactly one message. Raises OSError when the file cannot be read or is
    not a regular file (a FIFO, a device), ValueError for a malformed message."""

def parse_all_bytes(data: bytes) -> list[BufrMessage]:
    """Every message found in ``data`` by its "BUFR" marker and declared length,
    skipping bytes around them; an empty list when there is none. The first
    malformed message raises ValueError."""

def parse_all_file(path: str) -> list[BufrMessage]:
    """Every message of the file at ``path``, as ``parse_all_bytes``. Raises OSError
    when the file cannot be read or is not a regular file, ValueError for a
    malformed message."""

def expand_descriptors(table_dir: str, descriptors: Sequence[int]) -> list[int]:
    """``TableSet.from_eccodes(table_dir).expand(descriptors)``."""

def decode_values(data: bytes, table_dir: str) -> list[DecodedValue]:
    """The values of the first message in ``data``, decoded with the tables of the
    ecCodes-style directory ``table_dir``: all subsets in order, each in
    descriptor order, as one flat list. Later messages are ignored. Raises
    ValueError when the message, the tables or the decoding fail."""

def decode_values_with_tables(data: bytes, tables: TableSet) -> list[DecodedValue]:
    """As ``decode_values``, with tables already loaded (load them once to decode
    many messages)."""

def decode_values_with_definitions(data: bytes, definitions_root: str) -> list[DecodedValue]:
    """As ``decode_values``, with the tables the message's header names, chosen
    from an ecCodes definitions root (see ``TableSet.from_definitions``)."""
