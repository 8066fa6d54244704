"""korvane: a fast, exact and safe decoder of WMO FM 94 BUFR.

The whole-file reader::

    with korvane.open("observations.bufr") as f:
        for message in f:
            values = message.decode()      # NumPy columns of one message

``korvane.open``, ``BufrFile``, ``Message``, ``Values`` and ``DecodeError`` come
from ``korvane.reader``, ``korvane.encode`` and ``korvane.write_bufr`` from
``korvane.writer`` (imported on first use, with NumPy); the per-value API
of ``korvane._korvane`` (``decode_values*``, ``parse_*``, ``TableSet``, ...) is
re-exported here as it is.
"""

from korvane._korvane import (
    BufrMessage as BufrMessage,
    DecodedValue as DecodedValue,
    Descriptor as Descriptor,
    ElementDefinition as ElementDefinition,
    SequenceDefinition as SequenceDefinition,
    TableSet as TableSet,
    decode_values as decode_values,
    decode_values_with_definitions as decode_values_with_definitions,
    decode_values_with_tables as decode_values_with_tables,
    expand_descriptors as expand_descriptors,
    parse_all_bytes as parse_all_bytes,
    parse_all_file as parse_all_file,
    parse_bytes as parse_bytes,
    parse_file as parse_file,
)
from korvane import _korvane
from korvane._tables import carried_definitions as carried_definitions, tables_info as tables_info

__version__ = "0.1.0"

# Names served by submodules that are imported only when first asked for, so
# that `import korvane` stays cheap (the command line starts in milliseconds).
_LAZY = {
    "open": "korvane.reader",
    "BufrFile": "korvane.reader",
    "Message": "korvane.reader",
    "Values": "korvane.reader",
    "DecodeError": "korvane.reader",
    "read_bufr": "korvane.frames",
    "read_arrow": "korvane.frames",
    "describe": "korvane.frames",
    "AbsentKeyWarning": "korvane.frames",
    "encode": "korvane.writer",
    "write_bufr": "korvane.writer",
}

__all__ = list(_korvane.__all__) + list(_LAZY) + ["tables_info", "carried_definitions"]

# The same names for type checkers and documentation tools, which do not run
# __getattr__ below (TYPE_CHECKING is false at run time: importing typing for
# it would slow `import korvane` down).
TYPE_CHECKING = False
if TYPE_CHECKING:
    from korvane.frames import describe as describe, read_arrow as read_arrow, read_bufr as read_bufr
    from korvane._names import AbsentKeyWarning as AbsentKeyWarning
    from korvane.reader import BufrFile as BufrFile, DecodeError as DecodeError, Message as Message
    from korvane.reader import Values as Values, open as open
    from korvane.writer import encode as encode, write_bufr as write_bufr


def __getattr__(name: str) -> object:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'korvane' has no attribute {name!r}")
    import importlib

    value = getattr(importlib.import_module(module), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_LAZY))
