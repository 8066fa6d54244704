// Argument binding and conversion for the modules' functions and methods.
#pragma once

#include "py/pyref.hpp"

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "error/error.hpp"
#include "py/errors.hpp"

namespace korvane::py {

// Binds positional and keyword arguments to `names` (all required). On failure
// a TypeError in the interpreter's own wording is set and false returned.
bool bind_args(const char* function, PyObject* args, PyObject* kwargs,
               std::initializer_list<const char*> names, PyObject** out);

// Each converter returns false with an exception set when the value is refused.
// A refused type raises TypeError "argument '<param>': <reason>"; an int out of
// range raises OverflowError with the conversion's own text.
bool to_bytes(PyObject* o, const char* param, std::string_view& out);
bool to_path(PyObject* o, const char* param, std::string& out);
bool to_u8(PyObject* o, const char* param, std::uint8_t& out);
bool to_u32(PyObject* o, const char* param, std::uint32_t& out);
bool to_u64(PyObject* o, const char* param, std::uint64_t& out);
bool to_codes(PyObject* o, const char* param, std::vector<std::uint32_t>& out);

// Python objects from C++ values.
OwnedRef new_str(std::string_view s);
OwnedRef new_u64(std::uint64_t v);
OwnedRef new_code_list(const std::vector<std::uint32_t>& codes);

// The text form of a list of codes: "[1, 2, 3]".
std::string code_list_text(const std::vector<std::uint32_t>& codes);

}  // namespace korvane::py
