#include "tables/text.hpp"

#include <cstring>

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace korvane {

namespace {

struct Range {
    char32_t first;
    char32_t last;
};

constexpr Range kNonPrintable[] = {
#include "tables/nonprintable.inc"
};

// One decoded UTF-8 sequence. `length` is the number of bytes consumed: the
// whole sequence when valid, otherwise the maximal invalid prefix (at least 1),
// the unit that a lossy decoder replaces by one U+FFFD.
struct Decoded {
    char32_t code_point;
    std::size_t length;
    bool valid;
};

inline bool continuation(unsigned char b) noexcept { return (b & 0xC0) == 0x80; }

Decoded decode_at(std::string_view s, std::size_t i) noexcept {
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) return {b0, 1, true};
    std::size_t need = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    char32_t cp = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
        cp = b0 & 0x1Fu;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        cp = b0 & 0x0Fu;
        if (b0 == 0xE0) lo = 0xA0;   // no overlong forms
        if (b0 == 0xED) hi = 0x9F;   // no surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        cp = b0 & 0x07u;
        if (b0 == 0xF0) lo = 0x90;   // no overlong forms
        if (b0 == 0xF4) hi = 0x8F;   // nothing above U+10FFFF
    } else {
        return {0xFFFD, 1, false};
    }
    for (std::size_t k = 1; k <= need; ++k) {
        if (i + k >= s.size()) return {0xFFFD, k, false};
        const auto b = static_cast<unsigned char>(s[i + k]);
        const bool ok = k == 1 ? (b >= lo && b <= hi) : continuation(b);
        if (!ok) return {0xFFFD, k, false};
        cp = (cp << 6) | (b & 0x3Fu);
    }
    return {cp, need + 1, true};
}

bool is_white_space(char32_t c) noexcept {
    switch (c) {
    case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x20:
    case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029:
    case 0x202F: case 0x205F: case 0x3000:
        return true;
    default:
        return c >= 0x2000 && c <= 0x200A;
    }
}

void append_hex(std::string& out, char32_t c) {
    static const char kDigits[] = "0123456789abcdef";
    char buf[8];
    int n = 0;
    do {
        buf[n++] = kDigits[c & 0xF];
        c >>= 4;
    } while (c != 0);
    while (n > 0) out += buf[--n];
}

}  // namespace

bool is_printable_code_point(char32_t c) noexcept {
    if (c >= 0x20 && c < 0x7F) return true;
    const auto* end = std::end(kNonPrintable);
    // The first range whose last code point is not below c.
    const auto* it = std::lower_bound(std::begin(kNonPrintable), end, c,
                                      [](const Range& r, char32_t v) { return r.last < v; });
    return it == end || c < it->first;
}

void append_quoted_text(std::string& out, std::string_view text) {
    out.reserve(out.size() + text.size() + 2);
    out += '"';
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<unsigned char>(text[i]);
        // Printable ASCII other than the two escaped characters: the common case.
        if (b >= 0x20 && b < 0x7F && b != '"' && b != '\\') {
            out += static_cast<char>(b);
            ++i;
            continue;
        }
        const Decoded d = decode_at(text, i);
        switch (d.code_point) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        case 0: out += "\\0"; break;
        default:
            if (!d.valid) {
                out += "\xEF\xBF\xBD";
            } else if (is_printable_code_point(d.code_point)) {
                out.append(text.substr(i, d.length));
            } else {
                out += "\\u{";
                append_hex(out, d.code_point);
                out += '}';
            }
        }
        i += d.length;
    }
    out += '"';
}

std::string quoted_text(std::string_view text) {
    std::string out;
    append_quoted_text(out, text);
    return out;
}

std::size_t utf8_valid_up_to(std::string_view text) noexcept {
    std::size_t i = 0;
    while (i < text.size()) {
        // Eight ASCII bytes at a time.
        std::uint64_t word;
        if (i + 8 <= text.size() && (std::memcpy(&word, text.data() + i, 8), (word & 0x8080808080808080u) == 0)) {
            i += 8;
            continue;
        }
        if (static_cast<unsigned char>(text[i]) < 0x80) {
            ++i;
            continue;
        }
        const Decoded d = decode_at(text, i);
        if (!d.valid) return i;
        i += d.length;
    }
    return i;
}

std::string utf8_lossy(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        if (static_cast<unsigned char>(text[i]) < 0x80) {
            out += text[i++];
            continue;
        }
        const Decoded d = decode_at(text, i);
        if (d.valid)
            out.append(text.substr(i, d.length));
        else
            out += "\xEF\xBF\xBD";
        i += d.length;
    }
    return out;
}

std::size_t white_space_length_at(std::string_view text, std::size_t pos) noexcept {
    if (pos >= text.size()) return 0;
    const auto b = static_cast<unsigned char>(text[pos]);
    if (b < 0x80) return (b == ' ' || (b >= 0x09 && b <= 0x0D)) ? 1 : 0;
    const Decoded d = decode_at(text, pos);
    return d.valid && is_white_space(d.code_point) ? d.length : 0;
}

std::string_view trim_white_space(std::string_view text) noexcept {
    // Text that opens and closes on a printable ASCII byte has nothing to trim.
    if (!text.empty()) {
        const auto first = static_cast<unsigned char>(text.front());
        const auto last = static_cast<unsigned char>(text.back());
        if (first > ' ' && first < 0x80 && last > ' ' && last < 0x80) return text;
    }
    std::size_t begin = 0;
    while (std::size_t n = white_space_length_at(text, begin)) begin += n;
    std::size_t end = text.size();
    // Walk back over whole characters: find each character's first byte.
    while (end > begin) {
        std::size_t start = end - 1;
        while (start > begin && continuation(static_cast<unsigned char>(text[start]))) --start;
        const std::size_t n = white_space_length_at(text, start);
        if (n == 0 || start + n != end) break;
        end = start;
    }
    return text.substr(begin, end - begin);
}

void split_white_space(std::string_view text, std::vector<std::string_view>& out) {
    out.clear();
    // ASCII text (nearly every line of a table) splits at its ASCII white
    // space alone, byte by byte.
    bool ascii = true;
    for (const char c : text) ascii &= static_cast<unsigned char>(c) < 0x80;
    if (ascii) {
        auto space = [](char c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); };
        std::size_t i = 0;
        while (i < text.size()) {
            while (i < text.size() && space(text[i])) ++i;
            if (i >= text.size()) break;
            const std::size_t start = i;
            while (i < text.size() && !space(text[i])) ++i;
            out.push_back(text.substr(start, i - start));
        }
        return;
    }
    std::size_t i = 0;
    while (i < text.size()) {
        while (std::size_t n = white_space_length_at(text, i)) i += n;
        if (i >= text.size()) break;
        const std::size_t start = i;
        while (i < text.size() && white_space_length_at(text, i) == 0) {
            const auto b = static_cast<unsigned char>(text[i]);
            i += b < 0x80 ? 1 : decode_at(text, i).length;
        }
        out.push_back(text.substr(start, i - start));
    }
}

}  // namespace korvane
