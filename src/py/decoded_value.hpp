// The class DecodedValue of korvane._korvane, whose objects both binding
// layers make: the per-value module's decoders, and the reader's
// Message.decode_objects.
#pragma once

#include "py/pyref.hpp"

namespace korvane {
struct MessageColumns;
}

namespace korvane::py {

// The type, made on first use (a borrowed reference, or null with an exception set).
PyTypeObject* decoded_value_type();

// A new list of DecodedValue objects, one per item of `columns`, whose arrays
// are laid out (MessageColumns::expand_rows). `owner` is the TableSet object
// the values were decoded with; each value keeps a reference to it for its
// name and meaning.
PyObject* new_decoded_value_list(const MessageColumns& columns, PyObject* owner);

}  // namespace korvane::py
