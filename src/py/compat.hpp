// Python.h, and the C API calls of Python 3.12 and 3.13 that the binding layer
// may use, made for the older interpreters it supports (3.11 and up). Each
// stand-in keeps the documented contract, its error texts included, so that the
// module behaves the same on every version; most wrap the private function that
// the newer public one renamed.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000  // before 3.12

// The exception being raised (normalized, its traceback attached), and the
// indicator cleared; null when none is.
inline PyObject* PyErr_GetRaisedException() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value != nullptr && tb != nullptr) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
}

// Raises `exc` again, taking over the reference; null clears the indicator.
inline void PyErr_SetRaisedException(PyObject* exc) {
    PyObject* type = nullptr;
    PyObject* tb = nullptr;
    if (exc != nullptr) {
        type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc)));
        tb = PyException_GetTraceback(exc);
    }
    PyErr_Restore(type, exc, tb);
}

#endif

#if PY_VERSION_HEX < 0x030D0000  // before 3.13

inline int PyLong_AsInt(PyObject* obj) { return _PyLong_AsInt(obj); }

inline int Py_IsFinalizing() { return _Py_IsFinalizing(); }

inline Py_hash_t Py_HashPointer(const void* ptr) { return _Py_HashPointer(ptr); }

// 1 and a new reference in *result when found, 0 and null when not, -1 and
// null with an exception set on error.
inline int PyDict_GetItemRef(PyObject* dict, PyObject* key, PyObject** result) {
    PyObject* item = PyDict_GetItemWithError(dict, key);  // borrowed
    *result = Py_XNewRef(item);
    if (item != nullptr) return 1;
    return PyErr_Occurred() ? -1 : 0;
}

inline int PyDict_GetItemStringRef(PyObject* dict, const char* key, PyObject** result) {
    PyObject* name = PyUnicode_FromString(key);
    if (name == nullptr) {
        *result = nullptr;
        return -1;
    }
    const int found = PyDict_GetItemRef(dict, name, result);
    Py_DECREF(name);
    return found;
}

// As PyDict_GetItemRef, for an attribute: a missing one (AttributeError) is 0.
inline int PyObject_GetOptionalAttr(PyObject* obj, PyObject* name, PyObject** result) {
    return _PyObject_LookupAttr(obj, name, result);
}

inline int PyObject_GetOptionalAttrString(PyObject* obj, const char* name, PyObject** result) {
    PyObject* text = PyUnicode_FromString(name);
    if (text == nullptr) {
        *result = nullptr;
        return -1;
    }
    const int found = PyObject_GetOptionalAttr(obj, text, result);
    Py_DECREF(text);
    return found;
}

inline PyObject* PyImport_AddModuleRef(const char* name) { return Py_XNewRef(PyImport_AddModule(name)); }

inline PyObject* PyList_GetItemRef(PyObject* list, Py_ssize_t index) {
    if (!PyList_Check(list)) {
        PyErr_SetString(PyExc_TypeError, "expected a list");
        return nullptr;
    }
    return Py_XNewRef(PyList_GetItem(list, index));
}

#endif
