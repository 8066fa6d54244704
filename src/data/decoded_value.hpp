// One decoded data item (DecodedValue), the state that operator descriptors and
// bitmaps change while section 4 is decoded (ValueCodingState), and the
// single-item readers the two data walkers are built on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "bitstream/bit_reader.hpp"
#include "error/error.hpp"
#include "tables/table_set.hpp"

namespace korvane {

__extension__ using Int128 = __int128;

// Names of the items that are not Table B elements.
inline constexpr std::string_view kAssociatedFieldName = "associatedField";
inline constexpr std::string_view kOperatorName = "operator";
inline constexpr std::string_view kTextName = "text";

// The four kinds of decoded item (character insertion, 2 05 YYY, is a
// character item with its own name).
enum class ValueKind : std::uint8_t {
    Numeric,          // a numeric element: raw bits, value (absent when missing)
    Character,        // a CCITT IA5 element: text index, text (absent when missing)
    AssociatedField,  // 999999 "associatedField": raw bits and their value
    Operator,         // an operator placeholder: value 0.0, raw 0
    InsertedText,     // 2 05 YYY "text": text index and text
};

// One decoded item as the per-value API shows it, viewed from a message's
// columns: nothing here owns memory. What follows from the code and the tables
// the value was decoded with is not stored: an element's name is its Table B
// name, and a numeric element's meaning is the code_meaning of its code and
// raw bits.
struct DecodedValue {
    std::uint32_t descriptor = 0;
    ValueKind kind = ValueKind::Numeric;
    // A numeric element's value is absent when it is missing; a text item's
    // value is its text index.
    bool has_value = false;
    double value = 0.0;
    std::uint64_t raw_bits = 0;
    std::optional<std::string_view> text;  // text items only; absent when missing

    bool is_text() const noexcept { return kind == ValueKind::Character || kind == ValueKind::InsertedText; }
    // The physical value, or a text index for text items; absent for a
    // missing numeric value.
    std::optional<double> raw_value() const noexcept {
        return has_value ? std::optional<double>(value) : std::nullopt;
    }
    // The bits read; absent for text items.
    std::optional<std::uint64_t> raw() const noexcept {
        return is_text() ? std::nullopt : std::optional<std::uint64_t>(raw_bits);
    }
    std::optional<std::string_view> raw_text() const noexcept { return is_text() ? text : std::nullopt; }
    // The name, given the tables the value was decoded with.
    std::string_view name(const TableSet& tables) const noexcept;
    // The code-table or flag-table meaning of a numeric element's bits.
    std::optional<std::string_view> raw_meaning(const TableSet& tables) const noexcept;
};

// A value's scaling (see scaling_of).
struct Scaling {
    double factor = 1.0;
    bool multiply = false;  // multiply by factor rather than divide
};

// What the decoders need to know about a Table B element, worked out once per
// element code and call rather than once per value.
struct ElementInfo {
    const ElementDefinition* def = nullptr;
    // Unit exactly "CCITT IA5".
    bool character = false;
    // Unit naming a code or flag table, in any letter case: such elements keep
    // their Table B width, scale and reference whatever operators are in force.
    bool code_or_flag = false;
    // Class 31: replication factors and data present indicators.
    bool class31 = false;
    // All bits set mean missing: any element outside class 31 and, under the
    // reader's rules, a class 31 element of a code table (0 31 021), whose
    // all-ones entry WMO's code tables reserve for "missing value". Factors
    // and data present indicators are never missing.
    bool all_ones_missing = true;
    // 10^scale of the Table B scale, for reads under no operator.
    Scaling scaling;
};

// The reader's rules differ from the per-value module's where the latter's
// are fixed by what it has always returned (see DecodeOptions::reader_rules).
ElementInfo classify_element(const ElementDefinition& def, bool reader_rules = false);

// The state of operators, bitmaps and history during the decoding of one subset
// (uncompressed data) or one message (compressed data).
struct ValueCodingState {
    std::vector<std::uint8_t> bitmap;
    // Definitions of the elements decoded so far; they point into the TableSet.
    std::vector<const ElementDefinition*> element_history;
    std::int64_t reference_multiplier = 1;
    std::size_t bitmap_cursor = 0;
    std::size_t bitmap_anchor = 0;
    std::uint64_t text_counter = 0;
    std::uint64_t text_column_counter = 0;
    std::optional<std::uint16_t> local_width;
    std::optional<std::uint16_t> character_width;
    std::int32_t width_delta = 0;
    std::int32_t scale_delta = 0;
    bool defining_bitmap = false;
    std::uint8_t associated_width = 0;

    // Y of the 2 07 YYY in force (0: none). 10^Y fits reference_multiplier only
    // up to Y = 18.
    std::uint8_t reference_exponent = 0;
    // Width in bits of the new reference values being defined after 2 03 YYY,
    // or 0 when element descriptors are data items (outside 2 03 YYY .. 2 03 255).
    std::uint8_t new_reference_width = 0;
    // Reference values set by 2 03 YYY, by element code, until 2 03 000.
    std::unordered_map<std::uint32_t, std::int64_t> new_references;
    // A bitmap's backward reference is in force (set by 2 22/2 23/2 24/2 25/2 32
    // 000, ended by 2 35 000), and whether the next 0 31 031 starts its bitmap.
    bool backward_reference = false;
    bool bitmap_announced = false;

    // No operator changes widths, scales or references: elements are read
    // with their Table B coding.
    bool table_b_coding() const noexcept {
        return width_delta == 0 && scale_delta == 0 && reference_exponent == 0 && new_references.empty() &&
               !local_width;
    }

    // Back to the initial state, keeping text_counter (and the capacity of the
    // vectors, so that a new subset allocates nothing).
    void reset();

    // The element that the next data-present byte of the bitmap refers to, or
    // null when the bitmap is empty or used up.
    Result<const ElementDefinition*> next_bitmap_element();
};

// Changes the state for operator 2 XX YYY as the operator table says (widths,
// scales, reference multiplier, associated fields, local and character
// widths). Never fails.
void apply_operator(std::uint8_t x, std::uint8_t y, ValueCodingState& state);

// The text of a CCITT IA5 field, in place: false (no text) when it is empty
// or all 0xFF; trailing white space goes. Bytes from 0x80 become '?', or,
// under the reader's rules, stay as they are (texts are read as UTF-8 there,
// and a station name written in UTF-8 keeps its letters).
bool clean_ia5_text(std::string& bytes, bool keep_high_bytes = false);

// 10 to the power `scale`, by repeated squaring; a reciprocal for negative scales.
double power_of_ten(std::int64_t scale) noexcept;

// How a value is scaled: divided by 10^scale, or, for a negative scale under
// the reader's rules, multiplied by 10^-scale. The product is exact where
// 10^-scale is (up to 10^22) and the integer fits a double, so that 238 with
// scale -8 gives exactly 2.38e10; dividing by the inexact reciprocal 1e-8, as
// the per-value module does, can miss by an ulp.
Scaling scaling_of(std::int64_t scale, bool reader_rules) noexcept;

// (bits + reference) scaled by `scaling`, exactly summed, with the quotient
// made total: a divisor that underflowed to zero (scales beyond -308) gives
// +-infinity, or 0 for a zero numerator.
inline double scaled_value(std::uint64_t bits, Int128 reference, Scaling scaling) noexcept {
    const double divisor = scaling.factor;
    double numerator;
    constexpr std::int64_t kHalf = std::int64_t{1} << 62;
    if (bits < static_cast<std::uint64_t>(kHalf) && reference >= -kHalf && reference <= kHalf) {
        numerator = static_cast<double>(static_cast<std::int64_t>(bits) + static_cast<std::int64_t>(reference));
    } else {
        numerator = static_cast<double>(static_cast<Int128>(bits) + reference);
    }
    if (scaling.multiply) return numerator * scaling.factor;
    if (divisor == 0.0) [[unlikely]] {
        // 10^-scale overflowed: the true quotient is beyond every double.
        if (numerator == 0.0) return 0.0;
        return numerator > 0 ? std::numeric_limits<double>::infinity() : -std::numeric_limits<double>::infinity();
    }
    return numerator / divisor;
}

// Overrides for an element read as a 2 25 255 difference value: width + 1
// (at most 65535) and reference -2^width, which fits 64 bits only for widths
// up to 63; reading a numeric value with a reference that does not fit fails.
struct DifferenceOverride {
    std::uint16_t width;
    std::int64_t reference;
    bool reference_fits;
};
DifferenceOverride difference_override(const ElementDefinition& def) noexcept;

// The width, scale and reference an element is read with under the state.
struct NumericCoding {
    std::uint16_t width;
    std::int64_t scale;
    Int128 reference;
};
Result<NumericCoding> numeric_coding(const ElementInfo& info, const ValueCodingState& state,
                                     const DifferenceOverride* diff);

// The value of a new reference value field of `width` bits (1..64), 2 03 YYY:
// the leftmost bit is the sign (1 negative), the rest the magnitude.
std::int64_t signed_reference(std::uint64_t bits, std::uint8_t width) noexcept;

// A float as the shortest decimal text that reads back to the same value:
// positional with at least one digit after the point for 0 and magnitudes in
// [1e-4, 1e16) (1.0, 273.15), exponent form otherwise (1e16, 1.5e-5); NaN,
// inf and -inf as such.
std::string float_text(double v);

// The text form of a value decoded with `tables`: DecodedValue(<code>, <shown
// value>), the shown value being the quoted text, else the quoted meaning,
// else Some(<float>) or None.
std::string decoded_value_text(const DecodedValue& v, const TableSet& tables);

}  // namespace korvane
