// The Python classes and functions of the module, as the registration code sees
// them. Each class's type object is made on first use and kept for the life of
// the process (the module serves one interpreter).
#pragma once

#include "py/pyref.hpp"

namespace korvane {
struct BufrMessage;
class TableSet;
struct MessageColumns;
}

namespace korvane::py {

// Each returns a borrowed type, or null with an exception set.
PyTypeObject* bufr_message_type();
PyTypeObject* descriptor_type();

// Creates a heap type from its spec once; later calls return the same type.
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

// BufrMessage objects.
PyObject* new_message_object(BufrMessage&& record);
// The record inside a BufrMessage object, or null (no exception) for other objects.
const BufrMessage* message_record(PyObject* o);

// DecodedValue objects.
PyTypeObject* decoded_value_type();
// A new list of DecodedValue objects, one per item of `columns`, whose arrays
// are laid out (MessageColumns::expand_rows). `owner` is
// the TableSet object the values were decoded with; each value keeps a
// reference to it for its name and meaning.
PyObject* new_decoded_value_list(const MessageColumns& columns, PyObject* owner);

// ElementDefinition and SequenceDefinition: copies of table entries.
PyTypeObject* element_definition_type();
PyTypeObject* sequence_definition_type();

// TableSet objects. The TableSet lives inside the Python object, so views into
// it (element names, code-table meanings) stay valid while that object lives.
PyTypeObject* table_set_type();
// The tables inside a TableSet object, or null (no exception) for other objects.
const TableSet* table_set_record(PyObject* o);
// Moves `tables` into a new TableSet object.
PyObject* new_table_set_object(TableSet&& tables);

// Module functions (METH_VARARGS | METH_KEYWORDS).
PyObject* parse_bytes(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* parse_file(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* parse_all_bytes(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* parse_all_file(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* expand_descriptors(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* decode_values(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* decode_values_with_tables(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* decode_values_with_definitions(PyObject*, PyObject* args, PyObject* kwargs);

}  // namespace korvane::py
