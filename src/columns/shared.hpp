// What the files of the _columns module share: the TableSet argument, the
// error of the core as a Python exception, and the module's functions that
// live outside module.cpp.
#pragma once

#include "lib/compat.hpp"

#include "data/columns.hpp"
#include "error/error.hpp"
#include "tables/table_set.hpp"

namespace korvane::columns {

// The tables of a TableSet object, or null with TypeError set.
const TableSet* table_set_of(PyObject* o);

// The decoded items of a Columns object, or null with TypeError set.
MessageColumns* message_columns_of(PyObject* o);

// Sets ValueError with the error's text; returns null.
PyObject* raise_error(const BufrError& e);

// encode(...): writes one message (src/columns/encode.cpp).
PyObject* encode(PyObject* self, PyObject* args, PyObject* kwargs);
extern const char* const kEncodeDoc;

// resolve_table(...): the items of a table of observations (src/columns/encode.cpp).
PyObject* resolve_table(PyObject* self, PyObject* args, PyObject* kwargs);
extern const char* const kResolveTableDoc;

}  // namespace korvane::columns
