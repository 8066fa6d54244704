// File-system helpers of the table loaders: path joining in the manner of the
// definitions tree, existence tests, whole-file reads and filtered listings.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error/error.hpp"

namespace korvane {

// `dir` joined with the relative name `name` ("a" + "b" -> "a/b"; an empty
// `dir` gives `name`; no doubled separator when `dir` ends with one).
std::string join_path(std::string_view dir, std::string_view name);

// The parent of `path` with trailing separators ignored ("a/b/" -> "a",
// "b" -> "", "/a" -> "/"), or nothing for "/" and the empty path.
std::optional<std::string> parent_path(std::string_view path);

// The part of a file name before its last dot; a name whose only dot is its
// first character (".table") and the name ".." are their own stems.
std::string_view file_stem(std::string_view name) noexcept;

// The last component of `path`.
std::string_view file_name(std::string_view path) noexcept;

// Metadata queries that follow symbolic links; any failure counts as absence.
bool path_exists(const std::string& path) noexcept;
bool is_directory(const std::string& path) noexcept;
bool is_regular_file(const std::string& path) noexcept;

// Opens `path` for reading. Regular files and directories open (reading a
// directory then fails with EISDIR); FIFOs and devices are refused, so that a
// table path can never block or stream forever. Returns the descriptor, or -1
// with `error` set to an errno value, or to 0 for a refused special file.
int open_for_reading(const std::string& path, int& error) noexcept;

// The text of an open_for_reading failure.
std::string open_error_text(int error);

// Reads a whole file. Failures are Io errors.
Result<std::string> read_file(const std::string& path);
// Reads a whole file that must be UTF-8 text; invalid text is the Io error
// "stream did not contain valid UTF-8".
Result<std::string> read_text_file(const std::string& path);

// The entries of `dir` whose names (invalid UTF-8 replaced by U+FFFD) begin
// with `prefix` and end with `suffix`, as `dir` joined with each name, sorted
// by the bytes of the names. Listing failures are Io errors.
Result<std::vector<std::string>> matching_files(const std::string& dir, std::string_view prefix,
                                                std::string_view suffix);

}  // namespace korvane
