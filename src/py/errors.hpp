// The one mapping of core errors to Python exceptions, for both modules.
//
// The per-value module (korvane._korvane) raises every BufrError as a plain
// ValueError carrying its display text. The reader's module raises
// korvane.DecodeError, a ValueError too, with the error's kind (a name from
// kind_name below), the text naming its true cause (BufrError::describe),
// and the message it concerns: the source, the message's index among the
// messages found in it, and its byte offset.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "error/error.hpp"
#include "py/pyref.hpp"

namespace korvane::py {

// The kind of korvane.DecodeError for each error kind:
//   "truncated"           the input ends inside the message
//   "damaged"             the message's frame or descriptor list is damaged
//   "unsupported"         an edition, operator or coding korvane does not read
//   "unknown_descriptor"  a descriptor the tables do not define
//   "data_ended"          the data section ends before the descriptors do
//   "bad_data"            the data hold values that cannot be
//   "limit"               a bound on the work of one message
//   "tables"              a table file that cannot be read
//   "interrupted"         stopped by the caller
const char* kind_name(ErrorKind kind) noexcept;

// Raises the error as ValueError carrying its display text; returns nullptr so
// that callers can write `return to_py_err(std::move(e));`.
PyObject* to_py_err(BufrError e);

// Where a message comes from, for korvane.DecodeError.
struct MessagePlace {
    std::string_view source;
    std::uint64_t index = 0;
    std::uint64_t offset = 0;
};

// A new korvane.DecodeError (null with an exception set when it cannot be made).
OwnedRef new_decode_error(const BufrError& e, const MessagePlace& place);
// Raises it; returns nullptr.
PyObject* raise_decode_error(const BufrError& e, const MessagePlace& place);

// Raises OSError whose single argument is `text` (an I/O error's text, such
// as "No such file or directory (os error 2)"); returns nullptr.
PyObject* raise_os_error_text(const std::string& text);

}  // namespace korvane::py
