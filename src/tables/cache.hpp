// The tables of many messages, chosen from a definitions root by their headers
// and loaded once for each set of table directories they resolve to. Messages
// from many centres that declare no local tables share the one WMO set of
// their master version, however many centres there are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "error/error.hpp"
#include "tables/definitions.hpp"
#include "tables/table_set.hpp"

namespace korvane {

// The directories a request resolves to.
struct ResolvedTables {
    // The WMO table directory, aliases followed.
    std::string wmo;
    // The local table directory, when the message declares local tables and
    // the root holds them; empty otherwise.
    std::string local;
    // The master version read: the one named, or, when the root lacks it, the
    // next later one it holds (a later version only adds entries, so it reads
    // what an earlier one coded), else the newest it holds.
    std::uint8_t version = 0;
    // What the set is, as a text: equal keys, equal tables.
    std::string key;
};

// The master table versions a definitions root holds, ascending: the entries
// of bufr/tables/M/wmo named by a number (directories or alias files).
std::vector<int> installed_master_versions(const std::string& root, int master_table);

// The installed version that reads messages of `version` (see ResolvedTables).
int usable_master_version(int version, const std::vector<int>& installed) noexcept;

// Thread-safe. Resolutions are remembered for the life of the cache (they
// cost file-system queries); of the sets loaded, the `capacity` most
// recently used are kept, and a set handed out lives as long as its holders.
class TableCache {
public:
    explicit TableCache(std::size_t capacity = 16) : capacity_(capacity) {}

    // Without `fallback`, a master version the root lacks is an error rather
    // than read with another.
    Result<ResolvedTables> resolve(const std::string& root, const TableRequest& request, bool fallback = true);
    // The tables of a request, code and flag tables read as `code_tables` says.
    Result<std::shared_ptr<const TableSet>> load(const std::string& root, const TableRequest& request,
                                                 CodeTables code_tables = CodeTables::LoadKeepingErrors);
    // The set of resolved directories (with the caller's code-table choice).
    Result<std::shared_ptr<const TableSet>> load(const ResolvedTables& resolved, CodeTables code_tables);

    // The cache the process's readers share.
    static TableCache& shared();

private:
    std::size_t capacity_;
    std::mutex mutex_;
    std::unordered_map<std::string, ResolvedTables> resolved_;
    std::unordered_map<std::string, std::vector<int>> installed_;
    // Most recently used first.
    std::list<std::pair<std::string, std::shared_ptr<const TableSet>>> sets_;
};

}  // namespace korvane
