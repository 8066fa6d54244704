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
from korvane._tables import carried_definitions, tables_info

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
    from korvane.frames import AbsentKeyWarning, describe, read_arrow, read_bufr
    from korvane.reader import BufrFile, DecodeError, Message, Values, open
    from korvane.writer import encode, write_bufr


def __getattr__(name: str):
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'korvane' has no attribute {name!r}")
    import importlib

    value = getattr(importlib.import_module(module), name)
    globals()[name] = value
    return value


def __dir__():
    return sorted(set(globals()) | set(_LAZY))
