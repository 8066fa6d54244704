// The layout of a TableSet object (korvane._korvane.TableSet). The reader's
// module (_columns) makes and reads TableSet objects too, so both bindings
// share this one definition. An object shares its tables with the process's
// table cache (and with other objects): a set is never changed once built.
#pragma once

#include <memory>
#include <new>
#include <utility>

#include "py/pyref.hpp"
#include "tables/table_set.hpp"

namespace korvane::py {

struct TableSetObject {
    PyObject_HEAD
    std::shared_ptr<const TableSet> tables;  // never null
};

// A new object of type `tp` (TableSet) holding `tables`, or null with an exception set.
inline PyObject* alloc_table_set(PyTypeObject* tp, std::shared_ptr<const TableSet> tables) {
    PyObject* o = tp->tp_alloc(tp, 0);
    if (o == nullptr) return nullptr;
    new (&reinterpret_cast<TableSetObject*>(o)->tables) std::shared_ptr<const TableSet>(std::move(tables));
    return o;
}

inline const TableSet& tables_in(PyObject* o) { return *reinterpret_cast<TableSetObject*>(o)->tables; }

}  // namespace korvane::py
