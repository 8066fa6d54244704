// The command's dump, its lines made in C++: korvane dump prints a line per
// item of every subset, a million lines for a large message.
#pragma once

#include "py/pyref.hpp"

namespace korvane::columns {

PyObject* dump_lines(PyObject* self, PyObject* args);

inline constexpr const char* kDumpLinesDoc =
    "dump_lines(columns, subsets, per, positions, offsets, pieces_of, pieces, texts, heads, /)\n--\n\n"
    "The lines of korvane dump for the subsets of a decoded message (Columns) numbered in `subsets` "
    "(uint64), as UTF-8 bytes. `per` > 0: every subset holds `per` items alike, and `positions` (uint64) "
    "are the printed items' positions in a subset; `per` 0: `positions` are items of the message, "
    "those of the k-th printed subset from offsets[k] to offsets[k + 1] (uint64). `pieces_of` "
    "(uint32) gives for each position its piece in `pieces`, a list of (head, tail, meaning): a "
    "line is head, the value, tail and, for an item that is not missing, meaning(raw) when meaning "
    "is not None (called once per distinct raw). A value is \"missing\", texts[raw] for a text (as "
    "quoted for display), nothing for an operator, else the number. With `heads`, \"## subset N\" "
    "(from 1) comes before each subset's lines.";

}  // namespace korvane::columns
