#include "data/number_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>

namespace korvane {

void append_number(std::string& out, double v) {
    char buf[64];
    if (std::isnan(v)) {
        out += "nan";
        return;
    }
    if (std::isinf(v)) {
        out += v > 0 ? "inf" : "-inf";
        return;
    }
    if (v == std::trunc(v) && v > -1e15 && v < 1e15) {
        const auto r = std::to_chars(buf, buf + sizeof buf, static_cast<std::int64_t>(v));
        out.append(buf, r.ptr);
        return;
    }
    const double mag = std::fabs(v);
    if (mag >= 1e-4 && mag < 1e16) {
        // Without a precision, to_chars gives the shortest digits that read
        // back as v, as repr() does.
        const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
        out.append(buf, r.ptr);
        if (std::string_view(buf, static_cast<std::size_t>(r.ptr - buf)).find('.') == std::string_view::npos)
            out += ".0";
        return;
    }
    // Scientific notation as repr() writes it: a sign and two digits or more
    // in the exponent ("1e+16", "2.5e-07").
    const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    out.append(buf, r.ptr);
}

}  // namespace korvane
