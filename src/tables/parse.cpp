#include "tables/parse.hpp"

#include <limits>
#include <string>

#include "tables/text.hpp"

namespace korvane {

const char* int_error_reason(IntError e) noexcept {
    switch (e) {
    case IntError::Empty: return "cannot parse integer from empty string";
    case IntError::InvalidDigit: return "invalid digit found in string";
    case IntError::PosOverflow: return "number too large to fit in target type";
    case IntError::NegOverflow: return "number too small to fit in target type";
    }
    return "invalid digit found in string";
}

bool parse_decimal(std::string_view text, bool is_signed, std::int64_t min, std::uint64_t max,
                   std::uint64_t& magnitude, bool& negative, IntError& error) noexcept {
    negative = false;
    if (text.empty()) {
        error = IntError::Empty;
        return false;
    }
    std::string_view digits = text;
    if (text[0] == '+' || (text[0] == '-' && is_signed)) {
        if (text.size() == 1) {
            error = IntError::InvalidDigit;
            return false;
        }
        negative = text[0] == '-';
        digits.remove_prefix(1);
    }
    // The largest magnitude allowed on this side of zero.
    const std::uint64_t limit =
        negative ? static_cast<std::uint64_t>(-(min + 1)) + 1 : max;
    std::uint64_t v = 0;
    for (char ch : digits) {
        if (ch < '0' || ch > '9') {
            error = IntError::InvalidDigit;
            return false;
        }
        const auto d = static_cast<std::uint64_t>(ch - '0');
        if (v > (limit - d) / 10) {
            error = negative ? IntError::NegOverflow : IntError::PosOverflow;
            return false;
        }
        v = v * 10 + d;
    }
    magnitude = v;
    return true;
}

namespace {

BufrError parse_failure(const char* what, std::string_view text, IntError e) {
    std::string s = what;
    append_quoted_text(s, text);
    s += ": ";
    s += int_error_reason(e);
    return BufrError::table(std::move(s));
}

template <typename T>
Result<T> parse_integer(const char* what, std::string_view shown, std::string_view text) {
    constexpr bool is_signed = std::numeric_limits<T>::is_signed;
    std::uint64_t magnitude = 0;
    bool negative = false;
    IntError e{};
    if (!parse_decimal(text, is_signed, static_cast<std::int64_t>(std::numeric_limits<T>::min()),
                       static_cast<std::uint64_t>(std::numeric_limits<T>::max()), magnitude, negative, e))
        return parse_failure(what, shown, e);
    if (negative) {
        // magnitude is at most -(min); go through magnitude - 1 so that the
        // most negative value never passes through a positive signed value.
        if (magnitude == 0) return T{0};
        return static_cast<T>(-static_cast<std::int64_t>(magnitude - 1) - 1);
    }
    return static_cast<T>(magnitude);
}

std::string_view strip_quotes(std::string_view s) noexcept {
    while (!s.empty() && s.front() == '"') s.remove_prefix(1);
    while (!s.empty() && s.back() == '"') s.remove_suffix(1);
    return s;
}

}  // namespace

Result<std::uint32_t> parse_code(std::string_view text) {
    // Nearly every code in the tables is six plain digits, quoted in
    // sequence.def: read those straight away.
    std::string_view digits = text;
    if (digits.size() == 8 && digits.front() == '"' && digits.back() == '"') digits = digits.substr(1, 6);
    if (digits.size() == 6) {
        std::uint32_t v = 0;
        bool plain = true;
        for (const char c : digits) {
            plain &= c >= '0' && c <= '9';
            v = v * 10 + static_cast<std::uint32_t>(c - '0');
        }
        if (plain) return v;
    }
    return parse_integer<std::uint32_t>("bad descriptor code ", text, strip_quotes(trim_white_space(text)));
}

Result<std::int32_t> parse_i32(std::string_view text) { return parse_integer<std::int32_t>("bad i32 ", text, text); }

Result<std::int64_t> parse_i64(std::string_view text) { return parse_integer<std::int64_t>("bad i64 ", text, text); }

Result<std::uint16_t> parse_u16(std::string_view text) {
    return parse_integer<std::uint16_t>("bad u16 ", text, text);
}

Result<std::uint64_t> parse_code_table_key(std::string_view text) {
    return parse_integer<std::uint64_t>("bad code table key ", text, text);
}

}  // namespace korvane
