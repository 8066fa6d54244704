// The decimal parsers of the table loaders. Each reads a whole text as one
// integer, or returns a Table error naming the field kind, the text in quoted
// form and the reason.
#pragma once

#include <cstdint>
#include <string_view>

#include "error/error.hpp"

namespace korvane {

// Why a text is not an integer of the wanted type.
enum class IntError : std::uint8_t { Empty, InvalidDigit, PosOverflow, NegOverflow };

// "cannot parse integer from empty string", "invalid digit found in string",
// "number too large to fit in target type", "number too small to fit in target type".
const char* int_error_reason(IntError e) noexcept;

// Reads an optional sign (- only when `is_signed`) then one or more decimal
// digits and nothing else, within [min, max]. Digits are taken left to right:
// the first non-digit or the first overflow decides the reason.
bool parse_decimal(std::string_view text, bool is_signed, std::int64_t min, std::uint64_t max,
                   std::uint64_t& magnitude, bool& negative, IntError& error) noexcept;

// A descriptor code: surrounding Unicode white space, then surrounding double
// quotes, are removed before the digits are read. "bad descriptor code ...".
Result<std::uint32_t> parse_code(std::string_view text);
// Exact texts, nothing removed: "bad i32 ...", "bad i64 ...", "bad u16 ...".
Result<std::int32_t> parse_i32(std::string_view text);
Result<std::int64_t> parse_i64(std::string_view text);
Result<std::uint16_t> parse_u16(std::string_view text);
// A code table key: an unsigned 64-bit integer. "bad code table key ...".
Result<std::uint64_t> parse_code_table_key(std::string_view text);

}  // namespace korvane
