// The Python class DecodedValue. An object holds its 24-byte record inline and
// a reference to the TableSet object it was decoded with, which gives element
// names and code-table meanings on access; attribute objects are built on
// access.
#include <new>
#include <string>

#include "data/decode.hpp"
#include "data/decoded_value.hpp"
#include "lib/convert.hpp"
#include "lib/types.hpp"

namespace korvane::py {

namespace {

struct DecodedValueObject {
    PyObject_HEAD
    PyObject* owner;  // strong reference to the TableSet object
    DecodedValue rec;
};

DecodedValueObject* as_value(PyObject* self) { return reinterpret_cast<DecodedValueObject*>(self); }
const DecodedValue& rec_of(PyObject* self) { return as_value(self)->rec; }
const TableSet& tables_of(PyObject* self) { return *table_set_record(as_value(self)->owner); }

void decoded_value_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    DecodedValueObject* o = as_value(self);
    PyObject* owner = o->owner;
    o->rec.~DecodedValue();
    PyObject_Free(self);
    Py_DECREF(owner);
    Py_DECREF(tp);
}

PyObject* str_or_none(std::optional<std::string_view> s) {
    if (!s) Py_RETURN_NONE;
    return new_str(*s).release();
}

PyObject* get_descriptor(PyObject* self, void*) { return PyLong_FromUnsignedLong(rec_of(self).descriptor()); }

PyObject* get_name(PyObject* self, void*) { return new_str(rec_of(self).name(tables_of(self))).release(); }

PyObject* get_raw_value(PyObject* self, void*) {
    const auto v = rec_of(self).raw_value();
    if (!v) Py_RETURN_NONE;
    return PyFloat_FromDouble(*v);
}

PyObject* get_raw(PyObject* self, void*) {
    const auto v = rec_of(self).raw();
    if (!v) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(*v);
}

PyObject* get_raw_text(PyObject* self, void*) { return str_or_none(rec_of(self).raw_text()); }

PyObject* get_raw_meaning(PyObject* self, void*) { return str_or_none(rec_of(self).raw_meaning(tables_of(self))); }

// The text, else the meaning, else the number, else None.
PyObject* get_data(PyObject* self, void*) {
    const DecodedValue& v = rec_of(self);
    if (auto text = v.raw_text()) return new_str(*text).release();
    if (auto meaning = v.raw_meaning(tables_of(self))) return new_str(*meaning).release();
    if (auto value = v.raw_value()) return PyFloat_FromDouble(*value);
    Py_RETURN_NONE;
}

PyObject* decoded_value_repr(PyObject* self) {
    return new_str(decoded_value_text(rec_of(self), tables_of(self))).release();
}

PyGetSetDef kGetSet[] = {
    {"descriptor", get_descriptor, nullptr, nullptr, nullptr},
    {"name", get_name, nullptr, nullptr, nullptr},
    {"raw_value", get_raw_value, nullptr, nullptr, nullptr},
    {"raw", get_raw, nullptr, nullptr, nullptr},
    {"raw_text", get_raw_text, nullptr, nullptr, nullptr},
    {"raw_meaning", get_raw_meaning, nullptr, nullptr, nullptr},
    {"data", get_data, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(decoded_value_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(decoded_value_repr)},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc, const_cast<char*>("")},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "builtins.DecodedValue",
    sizeof(DecodedValueObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kSlots,
};

PyObject* type_slot = nullptr;

}  // namespace

PyTypeObject* decoded_value_type() { return type_from_spec(type_slot, &kSpec); }

PyObject* new_decoded_value_list(DecodedValues& values, PyObject* owner) {
    PyTypeObject* tp = decoded_value_type();
    if (tp == nullptr) return nullptr;
    OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    // Objects are made in list order, so that a list is later walked (and
    // freed) through memory in the order it was allocated.
    std::size_t i = 0;
    const bool ok = values.for_each([&](DecodedValue& v) {
        // The objects take part in no reference cycles (they refer only to a
        // TableSet), so they are plain objects outside the cycle collector,
        // allocated without the generic allocator's zero fill.
        PyObject* o = static_cast<PyObject*>(PyObject_Malloc(sizeof(DecodedValueObject)));
        if (o == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        PyObject_Init(o, tp);
        DecodedValueObject* obj = as_value(o);
        obj->owner = Py_NewRef(owner);
        new (&obj->rec) DecodedValue(std::move(v));
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i++), o);
        return true;
    });
    // A list left short by a failed allocation holds nulls in its tail, which
    // list deallocation skips.
    if (!ok) return nullptr;
    return list.release();
}

}  // namespace korvane::py
