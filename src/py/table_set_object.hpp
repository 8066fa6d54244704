// The layout of a TableSet object. The reader's module (_columns) builds and
// reads TableSet objects of this module's type too, so both bindings share
// this one definition.
#pragma once

#include "py/pyref.hpp"
#include "tables/table_set.hpp"

namespace korvane::py {

struct TableSetObject {
    PyObject_HEAD
    TableSet tables;
};

}  // namespace korvane::py
