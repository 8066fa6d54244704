#include "data/decoded_value.hpp"

#include <limits>

#include "descriptor/descriptor.hpp"

namespace korvane {

namespace {

bool contains_ignoring_case(std::string_view text, std::string_view lower_needle) noexcept {
    if (lower_needle.size() > text.size()) return false;
    for (std::size_t i = 0; i + lower_needle.size() <= text.size(); ++i) {
        std::size_t j = 0;
        for (; j < lower_needle.size(); ++j) {
            char c = text[i + j];
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            if (c != lower_needle[j]) break;
        }
        if (j == lower_needle.size()) return true;
    }
    return false;
}

// 10^0 .. 10^22 are exact doubles; repeated squaring gives the same values.
constexpr double kExactPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                   1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

constexpr std::int64_t kPowersOfTen[] = {1,
                                         10,
                                         100,
                                         1000,
                                         10000,
                                         100000,
                                         1000000,
                                         10000000,
                                         100000000,
                                         1000000000,
                                         10000000000,
                                         100000000000,
                                         1000000000000,
                                         10000000000000,
                                         100000000000000,
                                         1000000000000000,
                                         10000000000000000,
                                         100000000000000000,
                                         1000000000000000000};
constexpr std::uint8_t kMaxMultiplierExponent = 18;

}  // namespace

ElementInfo classify_element(const ElementDefinition& def, bool reader_rules) {
    ElementInfo info;
    info.def = &def;
    info.character = def.unit == "CCITT IA5";
    const bool code_table = contains_ignoring_case(def.unit, "code table");
    info.code_or_flag = code_table || contains_ignoring_case(def.unit, "flag table");
    info.class31 = is_class31(def.code);
    info.all_ones_missing = !info.class31 || (reader_rules && code_table);
    info.scaling = scaling_of(def.scale, reader_rules);
    return info;
}

Scaling scaling_of(std::int64_t scale, bool reader_rules) noexcept {
    if (reader_rules && scale < 0) return Scaling{power_of_ten(-scale), true};
    return Scaling{power_of_ten(scale), false};
}

std::string_view DecodedValue::name(const TableSet& tables) const noexcept {
    switch (kind) {
    case ValueKind::AssociatedField:
        return kAssociatedFieldName;
    case ValueKind::Operator:
        return kOperatorName;
    case ValueKind::InsertedText:
        return kTextName;
    case ValueKind::Numeric:
    case ValueKind::Character:
        break;
    }
    const ElementDefinition* def = tables.find_element(descriptor);
    return def != nullptr ? std::string_view(def->name) : std::string_view();
}

std::optional<std::string_view> DecodedValue::raw_meaning(const TableSet& tables) const noexcept {
    if (kind != ValueKind::Numeric) return std::nullopt;
    return tables.code_meaning(descriptor, raw_bits);
}

void ValueCodingState::reset() {
    bitmap.clear();
    element_history.clear();
    reference_multiplier = 1;
    bitmap_cursor = 0;
    bitmap_anchor = 0;
    text_column_counter = 0;
    local_width.reset();
    character_width.reset();
    width_delta = 0;
    scale_delta = 0;
    defining_bitmap = false;
    associated_width = 0;
    reference_exponent = 0;
    new_reference_width = 0;
    new_references.clear();
    backward_reference = false;
    bitmap_announced = false;
}

Result<const ElementDefinition*> ValueCodingState::next_bitmap_element() {
    const std::size_t n = bitmap.size();
    if (n == 0 || bitmap_cursor >= n) return static_cast<const ElementDefinition*>(nullptr);
    // The bitmap covers the n elements decoded just before it was anchored.
    const std::size_t first = bitmap_anchor >= n ? bitmap_anchor - n : 0;
    while (bitmap_cursor < n) {
        const std::size_t i = bitmap_cursor++;
        if (bitmap[i] == 1) continue;  // 1: no data for this element
        const std::size_t entry = first + i;
        if (entry >= element_history.size())
            return BufrError::table("bitmap reference is outside descriptor history");
        return element_history[entry];
    }
    return static_cast<const ElementDefinition*>(nullptr);
}

void apply_operator(std::uint8_t x, std::uint8_t y, ValueCodingState& state) {
    switch (x) {
    case 1:
        state.width_delta = y == 0 ? 0 : std::int32_t{y} - 128;
        break;
    case 2:
        state.scale_delta = y == 0 ? 0 : std::int32_t{y} - 128;
        break;
    case 4:
        state.associated_width = y;
        break;
    case 6:
        state.local_width = std::uint16_t{y};
        break;
    case 7:
        // The data width grows with the decimal digits that the scale adds.
        state.width_delta = (10 * std::int32_t{y} + 2) / 3;
        state.scale_delta = y;
        state.reference_exponent = y;
        state.reference_multiplier = y <= kMaxMultiplierExponent ? kPowersOfTen[y] : 0;
        break;
    case 8:
        if (y == 0)
            state.character_width.reset();
        else
            state.character_width = static_cast<std::uint16_t>(8 * y);
        break;
    default:
        break;
    }
}

bool clean_ia5_text(std::string& bytes, bool keep_high_bytes) {
    bool all_ff = true;
    for (char& c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b != 0xFF) all_ff = false;
        if (b >= 0x80 && !keep_high_bytes) c = '?';
    }
    if (bytes.empty() || all_ff) return false;
    std::size_t end = bytes.size();
    while (end > 0) {
        const char c = bytes[end - 1];
        if (c != ' ' && c != '\t' && c != '\n' && c != '\v' && c != '\f' && c != '\r') break;
        --end;
    }
    bytes.resize(end);
    return true;
}

double power_of_ten(std::int64_t scale) noexcept {
    const std::uint64_t n = scale < 0 ? 0 - static_cast<std::uint64_t>(scale) : static_cast<std::uint64_t>(scale);
    double result;
    if (n < std::size(kExactPowers)) {
        result = kExactPowers[n];
    } else {
        result = 1.0;
        double power = 10.0;
        for (std::uint64_t e = n; e != 0; e >>= 1) {
            if (e & 1) result *= power;
            power *= power;
        }
    }
    return scale < 0 ? 1.0 / result : result;
}

DifferenceOverride difference_override(const ElementDefinition& def) noexcept {
    const auto width = static_cast<std::uint16_t>(def.width < 65535 ? def.width + 1 : 65535);
    if (def.width >= 64) return DifferenceOverride{width, 0, false};
    // -2^63 for width 63 is the least int64; form it without overflowing.
    const std::int64_t reference =
        def.width == 63 ? std::numeric_limits<std::int64_t>::min() : -(std::int64_t{1} << def.width);
    return DifferenceOverride{width, reference, true};
}

Result<NumericCoding> numeric_coding(const ElementInfo& info, const ValueCodingState& state,
                                     const DifferenceOverride* diff) {
    const ElementDefinition& def = *info.def;
    if (diff != nullptr && !diff->reference_fits)
        return BufrError::table("difference statistical value (operator 225255) of element " +
                                padded_code(def.code) + " of width " + std::to_string(def.width) +
                                " needs a reference below -2^64");
    const bool operators_apply = !info.code_or_flag;
    std::int64_t reference = diff != nullptr ? diff->reference : def.reference;
    if (diff == nullptr && operators_apply && !state.new_references.empty()) {
        auto it = state.new_references.find(def.code);
        if (it != state.new_references.end()) reference = it->second;
    }
    NumericCoding c{};
    if (state.local_width) {
        c.width = *state.local_width;
    } else {
        std::int64_t width = diff != nullptr ? diff->width : def.width;
        if (operators_apply) width += state.width_delta;
        // Beyond 65535 the width stays at 65535, which no reader accepts.
        c.width = static_cast<std::uint16_t>(width < 0 ? 0 : (width > 65535 ? 65535 : width));
    }
    c.scale = std::int64_t{def.scale} + (operators_apply ? state.scale_delta : 0);
    c.reference = reference;
    if (operators_apply && state.reference_exponent != 0) {
        if (state.reference_exponent > kMaxMultiplierExponent)
            return BufrError::unsupported("operator " + padded_code(pack_code(2, 7, state.reference_exponent)) +
                                    " scales references by 10^" + std::to_string(state.reference_exponent) +
                                    ", which does not fit 64 bits");
        c.reference = static_cast<Int128>(reference) * state.reference_multiplier;
    }
    return c;
}

std::int64_t signed_reference(std::uint64_t bits, std::uint8_t width) noexcept {
    if (width == 0) return 0;
    const std::uint64_t sign = std::uint64_t{1} << (width - 1);
    const auto magnitude = static_cast<std::int64_t>(bits & (sign - 1));
    return (bits & sign) != 0 ? -magnitude : magnitude;
}

}  // namespace korvane
