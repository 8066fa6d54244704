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

// The header fields of a message that choose its tables.
struct TableRequest {
    std::uint8_t master_table = 0;
    std::uint8_t master_version = 0;
    std::uint8_t local_version = 0;
    std::uint16_t centre = 0;
    std::uint16_t subcentre = 0;

    friend bool operator==(const TableRequest&, const TableRequest&) = default;
};

// Those of a parsed message.
TableRequest table_request(const BufrMessage& message) noexcept;

// R/bufr/tables/M/wmo/V, aliases followed, then, when the message declares
// local tables (L != 0), R/bufr/tables/M/local/N/C/S where N is L, or "19-L"
// under master version 19. Local entries replace WMO entries of the same code;
// missing local tables are no error.
// The code and flag tables are read as `code_tables` says: all of them, a
// file that cannot be read failing the whole set; all of them, such a file
// kept as its error (TableSet::code_table_error) so that only what needs its
// meanings fails; or none: reading the hundreds of small files takes most of
// the time of loading a set, and one who wants a few meanings reads them
// with code_table_from_definitions. The set's origin names the directories.
enum class CodeTables : std::uint8_t { Load, LoadKeepingErrors, Skip };
Result<TableSet> from_eccodes_definitions(const std::string& root, const BufrMessage& message,
                                          CodeTables code_tables = CodeTables::Load);

// The tables of a WMO table directory, then of a local one on top (none when
// `local` is empty), as from_eccodes_definitions reads them.
Result<TableSet> load_table_directories(const std::string& wmo, const std::string& local, CodeTables code_tables);

// The code or flag table of element `code` among the tables above: the local
// one when there is one, else the WMO one, else none.
Result<std::optional<CodeTable>> code_table_from_definitions(const std::string& root, const TableRequest& request,
                                                             std::uint32_t code);

// The two directories named above (the WMO one before alias resolution).
std::string wmo_table_dir(const std::string& root, const TableRequest& request);
std::string local_table_dir(const std::string& root, const TableRequest& request);

}  // namespace korvane
