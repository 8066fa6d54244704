#include <charconv>
#include <cmath>

#include "data/decoded_value.hpp"
#include "tables/text.hpp"

namespace korvane {

std::string float_text(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
    char buf[400];
    const double mag = std::fabs(v);
    if (v == 0.0 || (mag >= 1e-4 && mag < 1e16)) {
        // Without a precision, to_chars gives the shortest round-trip digits.
        const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
        std::string out(buf, r.ptr);
        if (out.find('.') == std::string::npos) out += ".0";
        return out;
    }
    const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    const std::string s(buf, r.ptr);
    // "1.5e-05" -> "1.5e-5", "1e+16" -> "1e16".
    const std::size_t e = s.find('e');
    std::string out = s.substr(0, e + 1);
    std::size_t i = e + 1;
    if (s[i] == '-') out += '-';
    if (s[i] == '-' || s[i] == '+') ++i;
    while (i + 1 < s.size() && s[i] == '0') ++i;
    out.append(s, i, std::string::npos);
    return out;
}

std::string decoded_value_text(const DecodedValue& v, const TableSet& tables) {
    std::string out = "DecodedValue(";
    out += padded_code(v.descriptor);
    out += ", ";
    if (auto text = v.raw_text()) {
        append_quoted_text(out, *text);
    } else if (auto meaning = v.raw_meaning(tables)) {
        append_quoted_text(out, *meaning);
    } else if (auto value = v.raw_value()) {
        out += "Some(";
        out += float_text(*value);
        out += ')';
    } else {
        out += "None";
    }
    out += ')';
    return out;
}

}  // namespace korvane
