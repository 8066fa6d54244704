// Loader of the comma-separated Table B and Table D files that WMO publishes
// for BUFR edition 4 (BUFRCREX_TableB_en_*.csv, BUFR_TableD_en_*.csv).
#pragma once

#include <string>

#include "error/error.hpp"
#include "tables/table_set.hpp"

namespace korvane {

// Every Table B file of `dir`, then every Table D file, in name order. The
// result has no code tables.
Result<TableSet> from_bufr4_45_dir(const std::string& dir);

Result<void> load_bufr4_table_b(TableSet& tables, const std::string& path);
// The members of a sequence are those of its rows in this file, in row order;
// a sequence replaces any earlier definition of its code whole.
Result<void> load_bufr4_table_d(TableSet& tables, const std::string& path);

}  // namespace korvane
