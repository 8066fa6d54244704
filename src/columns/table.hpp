// The tables of observations of korvane.frames, read in the core: the
// entry point read_table and the Table type that holds its columns.
#pragma once

#include "py/pyref.hpp"

namespace korvane::columns {

PyObject* read_table(PyObject* self, PyObject* args, PyObject* kwargs);
// Makes the Table type; false with an exception set on failure.
bool init_table_type();

inline constexpr const char* kReadTableDoc =
    "read_table(data, headers, selection, request, tables, *, threads=1, max_items=0, "
    "stop_on_failure=False)\n--\n\n"
    "Reads the messages of `data` whose header records (the headers buffer of scan()) are at the "
    "positions of `selection` (uint64; None for all) into a Table: their rows assembled by `request`, "
    "(selectors, required, filters, needed, flat), with selectors (key, code, rank), required and "
    "needed lists of selector groups, filters (selector, range, numbers, texts, low, high). `tables` "
    "is a TableSet for every message or a definitions root. Runs without the interpreter lock, on "
    "up to `threads` threads; the result is the same for any number.";

}  // namespace korvane::columns
