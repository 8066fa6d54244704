#include "tables/cache.hpp"

#include <algorithm>
#include <charconv>

#include "tables/eccodes.hpp"
#include "tables/files.hpp"

namespace korvane {

namespace {

std::string request_key(const std::string& root, const TableRequest& r) {
    std::string key = root;
    for (const unsigned n : {unsigned{r.master_table}, unsigned{r.master_version}, unsigned{r.local_version},
                             unsigned{r.centre}, unsigned{r.subcentre}}) {
        key += '\0';
        key += std::to_string(n);
    }
    return key;
}

TableRequest with_version(TableRequest r, std::uint8_t version) {
    r.master_version = version;
    return r;
}

}  // namespace

std::vector<int> installed_master_versions(const std::string& root, int master_table) {
    std::vector<int> out;
    const std::string dir = join_path(root, "bufr/tables/" + std::to_string(master_table) + "/wmo");
    Result<std::vector<std::string>> listed = matching_files(dir, "", "");
    if (!listed) return out;
    for (const std::string& path : *listed) {
        const std::string_view name = file_name(path);
        int v = 0;
        const auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), v);
        if (ec == std::errc() && end == name.data() + name.size() && !name.empty()) out.push_back(v);
    }
    std::sort(out.begin(), out.end());
    return out;
}

int usable_master_version(int version, const std::vector<int>& installed) noexcept {
    if (installed.empty() || std::find(installed.begin(), installed.end(), version) != installed.end())
        return version;
    const auto later = std::upper_bound(installed.begin(), installed.end(), version);
    return later != installed.end() ? *later : installed.back();
}

Result<ResolvedTables> TableCache::resolve(const std::string& root, const TableRequest& request, bool fallback) {
    const std::string key = request_key(root, request) + (fallback ? "" : "\0exact");
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = resolved_.find(key);
        if (it != resolved_.end()) return it->second;
    }
    ResolvedTables r;
    r.version = request.master_version;
    if (fallback && !path_exists(wmo_table_dir(root, request))) {
        std::vector<int> installed;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const std::string table_key = root + '\0' + std::to_string(request.master_table);
            auto it = installed_.find(table_key);
            if (it == installed_.end())
                it = installed_.emplace(table_key, installed_master_versions(root, request.master_table)).first;
            installed = it->second;
        }
        r.version = static_cast<std::uint8_t>(usable_master_version(request.master_version, installed));
    }
    const TableRequest header = with_version(request, r.version);
    KORVANE_TRY(r.wmo, resolve_eccodes_table_dir(wmo_table_dir(root, header)));
    if (request.local_version != 0) {
        std::string local = local_table_dir(root, header);
        if (path_exists(local)) r.local = std::move(local);
    }
    r.key = r.wmo + '\0' + r.local;
    std::lock_guard<std::mutex> lock(mutex_);
    return resolved_.emplace(key, std::move(r)).first->second;
}

Result<std::shared_ptr<const TableSet>> TableCache::load(const std::string& root, const TableRequest& request,
                                                         CodeTables code_tables) {
    KORVANE_TRY(const ResolvedTables resolved, resolve(root, request));
    return load(resolved, code_tables);
}

Result<std::shared_ptr<const TableSet>> TableCache::load(const ResolvedTables& resolved, CodeTables code_tables) {
    const std::string key = resolved.key + '\0' + std::to_string(static_cast<int>(code_tables));
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = sets_.begin(); it != sets_.end(); ++it) {
            if (it->first != key) continue;
            sets_.splice(sets_.begin(), sets_, it);
            return sets_.front().second;
        }
    }
    // Loaded without the lock: two threads asking for a new set at once may
    // both load it, and the first to finish is kept.
    KORVANE_TRY(TableSet tables, load_table_directories(resolved.wmo, resolved.local, code_tables));
    auto set = std::make_shared<const TableSet>(std::move(tables));
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [k, s] : sets_)
        if (k == key) return s;
    sets_.emplace_front(key, set);
    if (sets_.size() > capacity_) sets_.pop_back();
    return set;
}

TableCache& TableCache::shared() {
    static TableCache cache;
    return cache;
}

}  // namespace korvane
