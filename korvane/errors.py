"""The errors korvane raises for messages that cannot be read.

Every damaged message, whatever reads it (``korvane.open``, ``read_bufr``,
``korvane.dask``, the ``korvane`` command), is reported as one
:class:`DecodeError`, a ``ValueError``, named the same way everywhere: its
source, its index among the messages found there (from 0, damaged ones
included, as ``BufrFile`` and ``Message.index`` count them) and its byte
offset. Its ``kind`` says what went wrong, one of :data:`KINDS`.

This module imports nothing beyond the interpreter's own, so that the
command line can use it without NumPy.
"""

from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable

__all__ = ["DecodeError", "KINDS"]

#: The kinds of :class:`DecodeError`, each with what it means.
KINDS = {
    "truncated": "the input ends inside the message (a file still being written, or cut short)",
    "damaged": "the message's frame or descriptor list is damaged: its lengths disagree, a section "
               "runs past its end, 7777 is missing, a replication takes more descriptors than follow it",
    "unsupported": "an edition, operator or coding that korvane does not read",
    "unknown_descriptor": "a descriptor that the tables used do not define",
    "data_ended": "the data section ends before its descriptors do",
    "bad_data": "the data hold values that cannot be (a number wider than 64 bits, a bitmap that "
                "refers to nothing)",
    "limit": "a bound on the work of one message (the number of items, nesting, a caller's max_items)",
    "tables": "a table file that cannot be read, or is missing",
    "interrupted": "stopped by the caller (Ctrl-C raises KeyboardInterrupt instead)",
    "closed": "the file was closed before the message was read",
}


class DecodeError(ValueError):
    """A message that cannot be parsed or decoded, or whose tables cannot be loaded.

    Its text is `"<source>: message <index> at offset <offset>: <reason>"`.
    It pickles with its attributes, so it crosses process boundaries intact.

    Attributes:
        source: The file's path or URL, or `"<buffer>"` for a buffer.
        index: The message's index among the messages found in the source,
            damaged ones included, counted from 0 (also `message_index`).
        offset: The byte offset of the message's start ("BUFR").
        kind: What went wrong: one of the keys of `korvane.errors.KINDS`,
            such as `"truncated"` or `"data_ended"`.
        reason: The text naming the cause, such as
            `"the message does not end with 7777"`.
    """

    def __init__(self, reason: str, *, source: str, index: int, offset: int, kind: str = "damaged") -> None:
        super().__init__(f"{source}: message {index} at offset {offset}: {reason}")
        self.reason = reason
        self.source = source
        self.index = index
        self.offset = offset
        self.kind = kind

    @property
    def message_index(self) -> int:
        """The message's index among the messages found in its source (as `index`)."""
        return self.index

    def __reduce__(self) -> tuple[Callable[..., DecodeError], tuple[str, str, int, int, str]]:
        return (_rebuild_error, (self.reason, self.source, self.index, self.offset, self.kind))


def _rebuild_error(reason: str, source: str, index: int, offset: int, kind: str = "damaged") -> DecodeError:
    return DecodeError(reason, source=source, index=index, offset=offset, kind=kind)
