#include "columns/objects.hpp"

#include "py/table_set_object.hpp"

namespace korvane::columns {

using py::OwnedRef;

namespace {

struct BufferObject {
    PyObject_HEAD
    PyObject* owner;  // keeps the memory alive
    const void* data;
    Py_ssize_t len;
};

int buffer_get(PyObject* self, Py_buffer* view, int flags) {
    auto* o = reinterpret_cast<BufferObject*>(self);
    return PyBuffer_FillInfo(view, self, const_cast<void*>(o->data), o->len, 1, flags);
}

void buffer_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    Py_XDECREF(reinterpret_cast<BufferObject*>(self)->owner);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyType_Slot kBufferSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(buffer_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(buffer_get)},
    {Py_tp_doc, const_cast<char*>("Read-only bytes of one decoded column, kept alive by its owner.")},
    {0, nullptr},
};

PyType_Spec kBufferSpec = {"korvane._columns.Buffer", sizeof(BufferObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kBufferSlots};

PyTypeObject* buffer_type = nullptr;

}  // namespace

PyObject* new_buffer(PyObject* owner, const void* data, std::size_t bytes) {
    PyObject* o = buffer_type->tp_alloc(buffer_type, 0);
    if (o == nullptr) return nullptr;
    auto* b = reinterpret_cast<BufferObject*>(o);
    b->owner = Py_NewRef(owner);
    b->data = data;
    b->len = static_cast<Py_ssize_t>(bytes);
    return o;
}

PyTypeObject* table_set_type() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) {
        OwnedRef module = OwnedRef::steal(PyImport_ImportModule("korvane._korvane"));
        if (!module) return nullptr;
        PyObject* t = PyObject_GetAttrString(module.get(), "TableSet");
        if (t == nullptr) return nullptr;
        type = reinterpret_cast<PyTypeObject*>(t);  // kept for the life of the process
    }
    return type;
}

const TableSet* tables_of(PyObject* o, const char* param) {
    PyTypeObject* tp = table_set_type();
    if (tp == nullptr) return nullptr;
    if (!PyObject_TypeCheck(o, tp)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object is not an instance of 'TableSet'", param,
                     Py_TYPE(o)->tp_name);
        return nullptr;
    }
    return &py::tables_in(o);
}

bool init_objects() {
    if (buffer_type == nullptr) buffer_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kBufferSpec));
    return buffer_type != nullptr;
}

PyTypeObject* buffer_object_type() { return buffer_type; }

}  // namespace korvane::columns
