// The Python class Descriptor: a value object over the F, X, Y packing.
#include <string>

#include "descriptor/descriptor.hpp"
#include "error/error.hpp"
#include "py/barrier.hpp"
#include "py/convert.hpp"
#include "lib/types.hpp"

namespace korvane::py {

namespace {

struct DescriptorObject {
    PyObject_HEAD
    Fxy fxy;
};

DescriptorObject* as_desc(PyObject* self) { return reinterpret_cast<DescriptorObject*>(self); }

PyObject* new_descriptor(PyTypeObject* tp, Fxy fxy) {
    PyObject* o = tp->tp_alloc(tp, 0);
    if (o != nullptr) as_desc(o)->fxy = fxy;
    return o;
}

PyObject* descriptor_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
    PyObject* a[3];
    Fxy fxy{};
    if (!bind_args("Descriptor", args, kwargs, {"f", "x", "y"}, a) || !to_u8(a[0], "f", fxy.f) ||
        !to_u8(a[1], "x", fxy.x) || !to_u8(a[2], "y", fxy.y))
        return nullptr;
    return new_descriptor(tp, fxy);
}

PyObject* descriptor_from_fxy(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* a[1];
    std::uint32_t code = 0;
    if (!bind_args("from_fxy", args, kwargs, {"code"}, a) || !to_u32(a[0], "code", code)) return nullptr;
    PyTypeObject* tp = descriptor_type();
    return tp ? new_descriptor(tp, split_code(code)) : nullptr;
}

std::uint32_t code_of(PyObject* self) {
    const Fxy& d = as_desc(self)->fxy;
    return pack_code(d.f, d.x, d.y);
}

PyObject* get_fxy(PyObject* self, void*) { return PyLong_FromUnsignedLong(code_of(self)); }

PyObject* descriptor_repr(PyObject* self) {
    const std::string s = "Descriptor(" + padded_code(code_of(self)) + ")";
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

void descriptor_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyGetSetDef kGetSet[] = {
    {"fxy", barrier<get_fxy>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kMethods[] = {
    {"from_fxy", KORVANE_PY_FUNCTION(descriptor_from_fxy),
     METH_VARARGS | METH_KEYWORDS | METH_STATIC, "from_fxy(code)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(barrier<descriptor_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(descriptor_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(barrier<descriptor_repr>)},
    {Py_tp_getset, kGetSet},
    {Py_tp_methods, kMethods},
    {Py_tp_doc, const_cast<char*>("Descriptor(f, x, y)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "builtins.Descriptor",
    sizeof(DescriptorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

PyObject* type_slot = nullptr;

}  // namespace

PyTypeObject* descriptor_type() { return type_from_spec(type_slot, &kSpec); }

}  // namespace korvane::py
