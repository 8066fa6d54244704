#include "tables/keys.hpp"

namespace korvane {

namespace {

bool word_char(char c) noexcept {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

char lower(char c) noexcept { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
char upper(char c) noexcept { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

std::string key_from_name(std::string_view name) {
    std::string out;
    bool first_word = true;
    std::size_t i = 0;
    while (i < name.size()) {
        if (!word_char(name[i])) {
            ++i;
            continue;
        }
        for (std::size_t k = 0; i < name.size() && word_char(name[i]); ++i, ++k)
            out += first_word || k != 0 ? lower(name[i]) : upper(name[i]);
        first_word = false;
    }
    return out;
}

std::string element_key(const ElementDefinition& e) {
    return e.abbreviation.empty() ? key_from_name(e.name) : e.abbreviation;
}

}  // namespace korvane
