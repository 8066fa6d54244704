// The Python classes TableSet, ElementDefinition and SequenceDefinition, and
// the module function expand_descriptors.
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "error/error.hpp"
#include "py/barrier.hpp"
#include "py/convert.hpp"
#include "py/table_set_object.hpp"
#include "lib/types.hpp"
#include "tables/definitions.hpp"
#include "tables/eccodes.hpp"
#include "tables/expand.hpp"
#include "tables/table_set.hpp"
#include "tables/text.hpp"
#include "tables/wmo_csv.hpp"

namespace korvane::py {

namespace {

PyObject* new_text(const std::string& s) {
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

// ---- ElementDefinition ----------------------------------------------------

struct ElementObject {
    PyObject_HEAD
    ElementDefinition rec;
};

ElementObject* as_element(PyObject* self) { return reinterpret_cast<ElementObject*>(self); }

template <auto Field>
PyObject* element_text(PyObject* self, void*) {
    return new_str(as_element(self)->rec.*Field).release();
}

PyObject* element_code(PyObject* self, void*) { return PyLong_FromUnsignedLong(as_element(self)->rec.code); }
PyObject* element_scale(PyObject* self, void*) { return PyLong_FromLong(as_element(self)->rec.scale); }
PyObject* element_reference(PyObject* self, void*) {
    return PyLong_FromLongLong(as_element(self)->rec.reference);
}
PyObject* element_width(PyObject* self, void*) { return PyLong_FromUnsignedLong(as_element(self)->rec.width); }

PyGetSetDef kElementGetSet[] = {
    {"code", barrier<element_code>, nullptr, nullptr, nullptr},
    {"abbreviation", barrier<element_text<&ElementDefinition::abbreviation>>, nullptr, nullptr, nullptr},
    {"element_type", barrier<element_text<&ElementDefinition::element_type>>, nullptr, nullptr, nullptr},
    {"name", barrier<element_text<&ElementDefinition::name>>, nullptr, nullptr, nullptr},
    {"unit", barrier<element_text<&ElementDefinition::unit>>, nullptr, nullptr, nullptr},
    {"scale", barrier<element_scale>, nullptr, nullptr, nullptr},
    {"reference", barrier<element_reference>, nullptr, nullptr, nullptr},
    {"width", barrier<element_width>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* element_repr(PyObject* self) {
    const ElementDefinition& e = as_element(self)->rec;
    std::string s = "ElementDefinition(" + padded_code(e.code) + ", name=";
    append_quoted_text(s, e.name);
    s += ')';
    return new_str(s).release();
}

PyType_Slot kElementSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<ElementObject>)},
    {Py_tp_repr, reinterpret_cast<void*>(barrier<element_repr>)},
    {Py_tp_getset, kElementGetSet},
    {Py_tp_doc, const_cast<char*>("")},
    {0, nullptr},
};

PyType_Spec kElementSpec = {
    "builtins.ElementDefinition",
    sizeof(ElementObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kElementSlots,
};

PyObject* element_type_slot = nullptr;

PyObject* new_element_object(const ElementDefinition& rec) {
    PyTypeObject* tp = element_definition_type();
    if (tp == nullptr) return nullptr;
    // The copy may throw; make it before the object exists, then move it in.
    ElementDefinition copy(rec);
    PyObject* o = tp->tp_alloc(tp, 0);
    if (o == nullptr) return nullptr;
    new (&as_element(o)->rec) ElementDefinition(std::move(copy));
    return o;
}

// ---- SequenceDefinition ---------------------------------------------------

struct SequenceObject {
    PyObject_HEAD
    SequenceDefinition rec;
};

SequenceObject* as_sequence(PyObject* self) { return reinterpret_cast<SequenceObject*>(self); }

PyObject* sequence_code(PyObject* self, void*) { return PyLong_FromUnsignedLong(as_sequence(self)->rec.code); }
PyObject* sequence_members(PyObject* self, void*) {
    return new_code_list(as_sequence(self)->rec.members).release();
}

PyGetSetDef kSequenceGetSet[] = {
    {"code", barrier<sequence_code>, nullptr, nullptr, nullptr},
    {"members", barrier<sequence_members>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* sequence_repr(PyObject* self) {
    const SequenceDefinition& q = as_sequence(self)->rec;
    return new_text("SequenceDefinition(" + padded_code(q.code) + ", members=" + code_list_text(q.members) + ")");
}

PyType_Slot kSequenceSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<SequenceObject>)},
    {Py_tp_repr, reinterpret_cast<void*>(barrier<sequence_repr>)},
    {Py_tp_getset, kSequenceGetSet},
    {Py_tp_doc, const_cast<char*>("")},
    {0, nullptr},
};

PyType_Spec kSequenceSpec = {
    "builtins.SequenceDefinition",
    sizeof(SequenceObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kSequenceSlots,
};

PyObject* sequence_type_slot = nullptr;

PyObject* new_sequence_object(const SequenceDefinition& rec) {
    PyTypeObject* tp = sequence_definition_type();
    if (tp == nullptr) return nullptr;
    SequenceDefinition copy(rec);
    PyObject* o = tp->tp_alloc(tp, 0);
    if (o == nullptr) return nullptr;
    new (&as_sequence(o)->rec) SequenceDefinition(std::move(copy));
    return o;
}

// ---- TableSet -------------------------------------------------------------

TableSetObject* as_tables(PyObject* self) { return reinterpret_cast<TableSetObject*>(self); }

PyObject* table_set_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
    PyObject* none[1];
    if (!bind_args("TableSet", args, kwargs, {}, none)) return nullptr;
    return alloc_table_set(tp, std::make_shared<const TableSet>());
}

PyObject* table_set_repr(PyObject* self) {
    const TableSet& t = *as_tables(self)->tables;
    return new_text("TableSet(elements=" + std::to_string(t.element_count()) +
                    ", sequences=" + std::to_string(t.sequence_count()) + ")");
}

PyObject* get_element_count(PyObject* self, void*) {
    return PyLong_FromSize_t(as_tables(self)->tables->element_count());
}

PyObject* get_sequence_count(PyObject* self, void*) {
    return PyLong_FromSize_t(as_tables(self)->tables->sequence_count());
}

PyObject* get_element(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[1];
    std::uint32_t code = 0;
    if (!bind_args("get_element", args, kwargs, {"code"}, a) || !to_u32(a[0], "code", code)) return nullptr;
    const ElementDefinition* e = as_tables(self)->tables->find_element(code);
    if (e == nullptr) Py_RETURN_NONE;
    return new_element_object(*e);
}

PyObject* get_sequence(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[1];
    std::uint32_t code = 0;
    if (!bind_args("get_sequence", args, kwargs, {"code"}, a) || !to_u32(a[0], "code", code)) return nullptr;
    const SequenceDefinition* q = as_tables(self)->tables->find_sequence(code);
    if (q == nullptr) Py_RETURN_NONE;
    return new_sequence_object(*q);
}

PyObject* get_meaning(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[2];
    std::uint32_t code = 0;
    std::uint64_t raw = 0;
    if (!bind_args("get_meaning", args, kwargs, {"code", "raw"}, a) || !to_u32(a[0], "code", code) ||
        !to_u64(a[1], "raw", raw))
        return nullptr;
    const auto meaning = as_tables(self)->tables->code_meaning(code, raw);
    if (!meaning) Py_RETURN_NONE;
    return new_str(*meaning).release();
}

PyObject* expand_with(const TableSet& tables, const std::vector<std::uint32_t>& codes) {
    auto r = expand_codes(tables, codes);
    if (!r) return to_py_err(std::move(r).error());
    return new_code_list(*r).release();
}

PyObject* expand(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[1];
    std::vector<std::uint32_t> codes;
    if (!bind_args("expand", args, kwargs, {"descriptors"}, a) || !to_codes(a[0], "descriptors", codes))
        return nullptr;
    return expand_with(*as_tables(self)->tables, codes);
}

PyObject* wrap_tables(Result<TableSet>&& r) {
    if (!r) return to_py_err(std::move(r).error());
    return new_table_set_object(std::move(r).value());
}

PyObject* from_eccodes(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* a[1];
    std::string path;
    if (!bind_args("from_eccodes", args, kwargs, {"path"}, a) || !to_path(a[0], "path", path)) return nullptr;
    return wrap_tables(from_eccodes_dir(path));
}

PyObject* from_bufr4_45(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* a[1];
    std::string path;
    if (!bind_args("from_bufr4_45", args, kwargs, {"path"}, a) || !to_path(a[0], "path", path)) return nullptr;
    return wrap_tables(from_bufr4_45_dir(path));
}

PyObject* from_definitions(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* a[2];
    std::string path;
    if (!bind_args("from_definitions", args, kwargs, {"path", "message"}, a) || !to_path(a[0], "path", path))
        return nullptr;
    // The message is only read, and the object is kept alive by the caller's
    // argument tuple for the whole call.
    const BufrMessage* message = message_record(a[1]);
    if (message == nullptr) {
        const std::string text = std::string("argument 'message': '") + Py_TYPE(a[1])->tp_name +
                                 "' object is not an instance of 'BufrMessage'";
        PyErr_SetString(PyExc_TypeError, text.c_str());
        return nullptr;
    }
    return wrap_tables(from_eccodes_definitions(path, *message));
}

PyGetSetDef kTableSetGetSet[] = {
    {"element_count", barrier<get_element_count>, nullptr, nullptr, nullptr},
    {"sequence_count", barrier<get_sequence_count>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kTableSetMethods[] = {
    {"get_element", KORVANE_PY_FUNCTION(get_element), METH_VARARGS | METH_KEYWORDS, "get_element($self, code)\n--\n\n"},
    {"get_sequence", KORVANE_PY_FUNCTION(get_sequence), METH_VARARGS | METH_KEYWORDS,
     "get_sequence($self, code)\n--\n\n"},
    {"get_meaning", KORVANE_PY_FUNCTION(get_meaning), METH_VARARGS | METH_KEYWORDS,
     "get_meaning($self, code, raw)\n--\n\n"},
    {"expand", KORVANE_PY_FUNCTION(expand), METH_VARARGS | METH_KEYWORDS, "expand($self, descriptors)\n--\n\n"},
    {"from_eccodes", KORVANE_PY_FUNCTION(from_eccodes), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_eccodes(path)\n--\n\n"},
    {"from_bufr4_45", KORVANE_PY_FUNCTION(from_bufr4_45), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_bufr4_45(path)\n--\n\n"},
    {"from_definitions", KORVANE_PY_FUNCTION(from_definitions), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_definitions(path, message)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kTableSetSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(barrier<table_set_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<TableSetObject>)},
    {Py_tp_repr, reinterpret_cast<void*>(barrier<table_set_repr>)},
    {Py_tp_getset, kTableSetGetSet},
    {Py_tp_methods, kTableSetMethods},
    {Py_tp_doc, const_cast<char*>("TableSet()\n--\n\n")},
    {0, nullptr},
};

PyType_Spec kTableSetSpec = {
    "builtins.TableSet",
    sizeof(TableSetObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kTableSetSlots,
};

PyObject* table_set_type_slot = nullptr;

}  // namespace

PyTypeObject* element_definition_type() { return type_from_spec(element_type_slot, &kElementSpec); }

PyTypeObject* sequence_definition_type() { return type_from_spec(sequence_type_slot, &kSequenceSpec); }

PyTypeObject* table_set_type() { return type_from_spec(table_set_type_slot, &kTableSetSpec); }

const TableSet* table_set_record(PyObject* o) {
    PyTypeObject* tp = table_set_type();
    if (tp == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    return PyObject_TypeCheck(o, tp) ? as_tables(o)->tables.get() : nullptr;
}

PyObject* new_table_set_object(TableSet&& tables) {
    PyTypeObject* tp = table_set_type();
    if (tp == nullptr) return nullptr;
    return alloc_table_set(tp, std::make_shared<const TableSet>(std::move(tables)));
}

PyObject* expand_descriptors(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* a[2];
    std::string table_dir;
    std::vector<std::uint32_t> codes;
    if (!bind_args("expand_descriptors", args, kwargs, {"table_dir", "descriptors"}, a) ||
        !to_path(a[0], "table_dir", table_dir) || !to_codes(a[1], "descriptors", codes))
        return nullptr;
    auto tables = from_eccodes_dir(table_dir);
    if (!tables) return to_py_err(std::move(tables).error());
    return expand_with(*tables, codes);
}

}  // namespace korvane::py
