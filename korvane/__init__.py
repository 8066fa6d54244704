"""korvane: a decoder of WMO FM 94 BUFR edition 4 messages."""

from korvane._korvane import (
    BufrMessage,
    DecodedValue,
    Descriptor,
    ElementDefinition,
    SequenceDefinition,
    TableSet,
    decode_values,
    decode_values_with_definitions,
    decode_values_with_tables,
    expand_descriptors,
    parse_all_bytes,
    parse_all_file,
    parse_bytes,
    parse_file,
)
from korvane import _korvane

__all__ = list(_korvane.__all__)
__version__ = "0.1.0"
