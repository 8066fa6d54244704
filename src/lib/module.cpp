// The module's entry point: creates `_korvane` and registers its classes and
// then its functions, each name appended to __all__ in registration order.
#include "py/barrier.hpp"
#include "lib/types.hpp"
#include "py/entry.hpp"

#include <cstdint>

namespace korvane::py {

namespace {

// Documentation of a function is its text signature alone. Every function
// runs inside the exception barrier.
PyMethodDef kFunctions[] = {
    {"parse_bytes", KORVANE_PY_FUNCTION(parse_bytes), METH_VARARGS | METH_KEYWORDS,
     "parse_bytes(data)\n--\n\n"},
    {"parse_file", KORVANE_PY_FUNCTION(parse_file), METH_VARARGS | METH_KEYWORDS,
     "parse_file(path)\n--\n\n"},
    {"parse_all_bytes", KORVANE_PY_FUNCTION(parse_all_bytes), METH_VARARGS | METH_KEYWORDS,
     "parse_all_bytes(data)\n--\n\n"},
    {"parse_all_file", KORVANE_PY_FUNCTION(parse_all_file), METH_VARARGS | METH_KEYWORDS,
     "parse_all_file(path)\n--\n\n"},
    {"expand_descriptors", KORVANE_PY_FUNCTION(expand_descriptors), METH_VARARGS | METH_KEYWORDS,
     "expand_descriptors(table_dir, descriptors)\n--\n\n"},
    {"decode_values", KORVANE_PY_FUNCTION(decode_values), METH_VARARGS | METH_KEYWORDS,
     "decode_values(data, table_dir)\n--\n\n"},
    {"decode_values_with_tables", KORVANE_PY_FUNCTION(decode_values_with_tables),
     METH_VARARGS | METH_KEYWORDS,
     "decode_values_with_tables(data, tables)\n--\n\n"},
    {"decode_values_with_definitions", KORVANE_PY_FUNCTION(decode_values_with_definitions),
     METH_VARARGS | METH_KEYWORDS,
     "decode_values_with_definitions(data, definitions_root)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

using TypeGetter = PyTypeObject* (*)();
struct ClassEntry {
    const char* name;
    TypeGetter get;
};
const ClassEntry kClasses[] = {
    {"BufrMessage", bufr_message_type},
    {"DecodedValue", decoded_value_type},
    {"Descriptor", descriptor_type},
    {"ElementDefinition", element_definition_type},
    {"SequenceDefinition", sequence_definition_type},
    {"TableSet", table_set_type},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "_korvane",
    "",
    0,  // no per-module state; a size of 0 (not -1) makes every import run init
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The interpreter that first imported the module; its types belong to it.
std::int64_t owner_interpreter = -1;

bool register_name(PyObject* module, const char* name, PyObject* object) {
    PyObject* dict = PyModule_GetDict(module);  // borrowed
    PyObject* found = nullptr;
    if (PyDict_GetItemStringRef(dict, "__all__", &found) < 0) return false;
    OwnedRef all = OwnedRef::steal(found);
    if (!all) {
        all = OwnedRef::steal(PyList_New(0));
        if (!all || PyDict_SetItemString(dict, "__all__", all.get()) < 0) return false;
    }
    OwnedRef text = OwnedRef::steal(PyUnicode_FromString(name));
    if (!text || PyList_Append(all.get(), text.get()) < 0) return false;
    return PyModule_AddObjectRef(module, name, object) == 0;
}

}  // namespace

}  // namespace korvane::py

namespace korvane::py {
namespace {

PyObject* init_module() {
    const std::int64_t interp = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (owner_interpreter != -1 && owner_interpreter != interp) {
        PyErr_SetString(PyExc_ImportError,
                        "korvane._korvane can be imported into one interpreter per process only");
        return nullptr;
    }
    OwnedRef module = OwnedRef::steal(PyModule_Create(&kModule));
    if (!module) return nullptr;
    for (const ClassEntry& c : kClasses) {
        PyTypeObject* tp = c.get();
        if (tp == nullptr || !register_name(module.get(), c.name, reinterpret_cast<PyObject*>(tp)))
            return nullptr;
    }
    OwnedRef module_name = OwnedRef::steal(PyUnicode_FromString("_korvane"));
    if (!module_name) return nullptr;
    for (PyMethodDef* def = kFunctions; def->ml_name != nullptr; ++def) {
        OwnedRef fn = OwnedRef::steal(PyCFunction_NewEx(def, nullptr, module_name.get()));
        if (!fn || !register_name(module.get(), def->ml_name, fn.get())) return nullptr;
    }
    owner_interpreter = interp;
    return module.release();
}

}  // namespace
}  // namespace korvane::py

KORVANE_ENTRY PyObject* korvane_init__korvane(void) { return korvane::py::barrier<korvane::py::init_module>(); }
