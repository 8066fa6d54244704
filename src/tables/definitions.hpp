// Tables chosen from a definitions root (a tree laid out like ecCodes'
// definitions) by the header of a message: the WMO tables of its master table
// and version, then the local tables of its centre and sub-centre on top.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "error/error.hpp"
#include "message/message.hpp"
#include "tables/table_set.hpp"

namespace korvane {

// R/bufr/tables/M/wmo/V, aliases followed, then, when the message declares
// local tables (L != 0), R/bufr/tables/M/local/N/C/S where N is L, or "19-L"
// under master version 19. Local entries replace WMO entries of the same code;
// missing local tables are no error.
// Without `code_tables` the code and flag tables are left out: reading the
// hundreds of small files takes most of the time of loading a set, and one who
// wants a few meanings reads them with code_table_from_definitions.
Result<TableSet> from_eccodes_definitions(const std::string& root, const BufrMessage& message,
                                          bool code_tables = true);

// The code or flag table of element `code` among the tables above: the local
// one when there is one, else the WMO one, else none.
Result<std::optional<CodeTable>> code_table_from_definitions(const std::string& root, const BufrMessage& message,
                                                             std::uint32_t code);

// The two directories named above (the WMO one before alias resolution).
std::string wmo_table_dir(const std::string& root, const BufrMessage& message);
std::string local_table_dir(const std::string& root, const BufrMessage& message);

}  // namespace korvane
