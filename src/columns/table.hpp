// The tables of observations of korvane.frames, read in the core: the
// entry point read_table and the Table type that holds its columns.
#pragma once

#include "py/pyref.hpp"

namespace korvane::columns {

PyObject* read_table(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* timestamps(PyObject* self, PyObject* args);
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

inline constexpr const char* kTimestampsDoc =
    "timestamps(rows, year, month, day, hour, minute, second, /)\n--\n\n"
    "The timestamps of `rows` rows, as a bytearray of int64 microseconds since 1970 (the least int64 "
    "where a part is missing or the date or time impossible). Each part is None (no row has it) or "
    "(kind, values, mask, absent): kind \"f\" (float64 values), \"i\" (int64 values, with a bool mask "
    "of missing ones or None) or \"-\" (no numbers), and `absent` a bool per row that lacks the part. "
    "Year, month and day are missing where absent; hour, minute and second count as 0.";

}  // namespace korvane::columns
