// Python types the binding layers make: a heap type from its spec, once, and
// the release of an object whose payload is a C++ record.
#pragma once

#include "py/pyref.hpp"

namespace korvane::py {

// Creates a heap type from its spec once; later calls return the same type.
// A borrowed type, or null with an exception set.
PyTypeObject* type_from_spec(PyObject*& slot, PyType_Spec* spec);

// Releases a record-holding instance: runs the C++ destructor of its payload,
// then frees the object and the reference it holds to its heap type.
template <typename Object>
void dealloc_record(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    reinterpret_cast<Object*>(self)->~Object();
    tp->tp_free(self);
    Py_DECREF(tp);
}

}  // namespace korvane::py
