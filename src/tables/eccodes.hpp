// Loaders of ecCodes-style table directories: element.table (Table B),
// sequence.def (Table D), codetables/ (code and flag tables), and the alias
// files by which one version directory names another.
#pragma once

#include <string>

#include "error/error.hpp"
#include "tables/table_set.hpp"

namespace korvane {

// How many alias files resolve_eccodes_table_dir follows before it gives up.
inline constexpr int kMaxAliasSteps = 32;

// element.table, sequence.def and, when present, codetables/ of `dir`.
Result<TableSet> from_eccodes_dir(const std::string& dir);

// Each inserts into `tables`, a later entry replacing an earlier one with the
// same code. On failure the entries inserted so far stay.
Result<void> load_eccodes_element_table(TableSet& tables, const std::string& path);
Result<void> load_eccodes_sequence_def(TableSet& tables, const std::string& path);
// One <code>.table file: key, an unused second column, then the meaning.
Result<CodeTable> load_eccodes_code_table(const std::string& path);
// Every <code>.table file of `dir`, each stored whole under its code. With
// `keep_errors` a file that cannot be read is kept as its error
// (TableSet::code_table_error) and the others are read; otherwise it fails
// the whole load.
Result<void> load_eccodes_code_tables(TableSet& tables, const std::string& dir, bool keep_errors);

// `path` when it is a directory; when it is a regular file, the directory that
// its content (a sibling name) leads to, following at most kMaxAliasSteps
// alias files.
Result<std::string> resolve_eccodes_table_dir(const std::string& path);

}  // namespace korvane
