"""What the items of a decoded message are, and how elements are named.

The kinds of item, the keys and names of the items that are no element
(associated fields, operator placeholders, inserted texts), an element's key
when its table has no abbreviation, and the parts of a name such as
"#2#airTemperature". The reader, the tables of observations and the command
line all take them from here. This module imports nothing, so that the
command starts fast.
"""

from __future__ import annotations

#: Item kinds, as `Values.kind` holds them.
NUMERIC, CHARACTER, ASSOCIATED_FIELD, OPERATOR, INSERTED_TEXT = range(5)

#: The descriptor code an associated field is shown with.
ASSOCIATED_FIELD_CODE = 999999

# (key, name) of the items that are no element.
_ASSOCIATED = ("associatedField", "associated field")
_OPERATOR = ("operator", "operator")
_TEXT = ("text", "inserted text")


def special(code: int) -> tuple[str, str] | None:
    """(key, name) of an item that is no element: an associated field
    (999999), an operator placeholder or a text that 2 05 YYY inserts; None
    for an element's code."""
    if code == ASSOCIATED_FIELD_CODE:
        return _ASSOCIATED
    if code // 100000 == 2:
        return _TEXT if code // 1000 == 205 else _OPERATOR
    return None


def key_from_name(name: str) -> str:
    """The key of an element whose table has no abbreviation: the words of
    its name (runs of ASCII letters and digits), the first in lower case, the
    others capitalised, joined ("Temperature/air temperature" gives
    "temperatureAirTemperature")."""
    words, word = [], []
    for ch in name + " ":
        if ch.isascii() and ch.isalnum():
            word.append(ch)
        elif word:
            words.append("".join(word))
            word = []
    if not words:
        return ""
    return words[0].lower() + "".join(w[:1].upper() + w[1:].lower() for w in words[1:])


def split_name(name: str) -> tuple[str | None, int | None, int]:
    """(key, code, rank) of an element name: a key ("airTemperature"), a
    six-digit code ("012101"), either after a rank ("#2#airTemperature").
    Exactly one of key and code is set; rank 0 means every item. Raises
    ValueError for a rank that is not a number from 1."""
    rank = 0
    if name.startswith("#"):
        r, sep, rest = name[1:].partition("#")
        if sep and r.isascii() and r.isdigit():
            rank, name = int(r), rest
            if rank < 1:
                raise ValueError(f"a rank counts from 1: {'#' + r + '#' + rest!r}")
    if len(name) == 6 and name.isascii() and name.isdigit():
        return None, int(name), rank
    return name, None, rank
