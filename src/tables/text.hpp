// Text helpers shared by the table loaders and the record reprs: the quoted
// text form used in reprs and error texts, strict UTF-8 checks, and trimming
// and splitting at Unicode white space.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace korvane {

// The text between double quotes, with \" \\ \t \r \n \0 for those characters
// and \u{hex} for every other control or non-printable character; everything
// else, the single quote included, as it is. Bytes that are not valid UTF-8
// are shown as U+FFFD, one per maximal invalid sequence.
std::string quoted_text(std::string_view text);
void append_quoted_text(std::string& out, std::string_view text);

// True for the code points that quoted_text writes as they are (space and
// the graphic characters).
bool is_printable_code_point(char32_t c) noexcept;

// The length of the longest valid UTF-8 prefix of `text` (its size when the
// whole text is valid). Overlong forms, surrogates and code points above
// U+10FFFF are invalid.
std::size_t utf8_valid_up_to(std::string_view text) noexcept;
inline bool is_valid_utf8(std::string_view text) noexcept {
    return utf8_valid_up_to(text) == text.size();
}

// `text` with every maximal invalid UTF-8 sequence replaced by U+FFFD.
std::string utf8_lossy(std::string_view text);

// The byte length of the Unicode white-space character (White_Space property)
// at `pos`, or 0 when there is none there.
std::size_t white_space_length_at(std::string_view text, std::size_t pos) noexcept;

// `text` without leading and trailing Unicode white space.
std::string_view trim_white_space(std::string_view text) noexcept;

// Splits `text` at runs of Unicode white space; no empty pieces.
void split_white_space(std::string_view text, std::vector<std::string_view>& out);

}  // namespace korvane
