// The Python classes and functions of the module, as the registration code sees
// them. Each class's type object is made on first use and kept for the life of
// the process (the module serves one interpreter).
#pragma once

#include "py/decoded_value.hpp"
#include "py/pyref.hpp"
#include "py/types.hpp"

namespace korvane {
struct BufrMessage;
class TableSet;
struct MessageColumns;
}

namespace korvane::py {

// Each returns a borrowed type, or null with an exception set.
PyTypeObject* bufr_message_type();
PyTypeObject* descriptor_type();


// BufrMessage objects.
PyObject* new_message_object(BufrMessage&& record);
// The record inside a BufrMessage object, or null (no exception) for other objects.
const BufrMessage* message_record(PyObject* o);


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
