// Writing BUFR: the entry points of korvane.writer in the reader's module.
#pragma once

#include "py/pyref.hpp"

namespace korvane::columns {

// encode(...): writes one message.
PyObject* encode(PyObject* self, PyObject* args, PyObject* kwargs);
extern const char* const kEncodeDoc;

// section1(header, ...): section 1 alone, for header fields set in place.
PyObject* section1(PyObject* self, PyObject* args, PyObject* kwargs);
extern const char* const kSection1Doc;

// resolve_table(...): the items of a table of observations.
PyObject* resolve_table(PyObject* self, PyObject* args, PyObject* kwargs);
extern const char* const kResolveTableDoc;

}  // namespace korvane::columns
