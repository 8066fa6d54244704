// libFuzzer target: decoding the data section of one message, with the tables
// its header names in the installed ecCodes definitions. Any input must give
// values or an error, never a crash, undefined behaviour or unbounded work.
// Table sets are kept in a small least-recently-used cache, so that memory
// stays bounded however many table choices the inputs name; the values of a
// message are rendered as text for a sample only, which keeps large outputs
// cheap while still reading names and meanings through the tables.
//   build/fuzz/fuzz_decode -max_total_time=300 -rss_limit_mb=4096 ../shared/corpus/ed4
#include <cstddef>
#include <cstdint>
#include <list>
#include <optional>
#include <string>
#include <utility>

#include "data/columns.hpp"
#include "message/message.hpp"
#include "tables/definitions.hpp"
#include "tables/eccodes.hpp"
#include "tables/files.hpp"

namespace {

const char* kDefinitions = "/usr/share/eccodes/definitions";
constexpr std::size_t kCachedTableSets = 8;
constexpr std::size_t kRenderedHead = 64;    // the first values, always rendered
constexpr std::size_t kRenderedStride = 97;  // then every 97th value

// Two headers that lead to the same table directories share one table set:
// the WMO directory after aliases, and the local one when the message
// declares local tables and the definitions have them. Mutated headers mostly
// name versions and centres that resolve alike, so this keeps reloads rare.
std::string key_for(const korvane::BufrMessage& m) {
    auto wmo = korvane::resolve_eccodes_table_dir(korvane::wmo_table_dir(kDefinitions, korvane::table_request(m)));
    if (!wmo) return "?" + korvane::wmo_table_dir(kDefinitions, korvane::table_request(m));
    std::string key = *wmo;
    if (m.local_tables_version_number != 0) {
        const std::string local = korvane::local_table_dir(kDefinitions, korvane::table_request(m));
        if (korvane::path_exists(local)) key += "|" + local;
    }
    return key;
}

// The table set for a message's header, or null when the definitions have none.
const korvane::TableSet* tables_for(const korvane::BufrMessage& m) {
    // Most recently used first. A failed load is cached too (as no tables), so
    // that an input naming missing tables costs one look-up, not one load.
    static std::list<std::pair<std::string, std::optional<korvane::TableSet>>> cache;
    const std::string key = key_for(m);
    for (auto it = cache.begin(); it != cache.end(); ++it) {
        if (it->first == key) {
            cache.splice(cache.begin(), cache, it);
            return cache.front().second ? &*cache.front().second : nullptr;
        }
    }
    auto loaded = korvane::from_eccodes_definitions(kDefinitions, m);
    if (cache.size() == kCachedTableSets) cache.pop_back();
    if (loaded)
        cache.emplace_front(key, std::move(loaded).value());
    else
        cache.emplace_front(key, std::nullopt);
    return cache.front().second ? &*cache.front().second : nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const korvane::ByteView buf(data, size);
    auto m = korvane::parse_message(buf);
    if (!m) return 0;
    const korvane::TableSet* tables = tables_for(*m);
    if (tables == nullptr) return 0;
    korvane::MessageColumns columns;
    korvane::DecodeOptions options;
    options.structure = true;
    auto done = korvane::decode_columns(*m, *tables, m->section4_data(buf), columns, options);
    if (done) {
        // A sample of the values must be readable in full.
        std::size_t texts = 0;
        columns.expand_rows();
        for (std::size_t i = 0; i < columns.size(); ++i)
            if (i < kRenderedHead || i % kRenderedStride == 0)
                texts += korvane::decoded_value_text(columns.item(i), *tables).size();
        if (texts == 0 && columns.size() != 0) __builtin_trap();
        if (columns.subset_bounds.size() != std::size_t{m->number_of_subsets} + 1u) __builtin_trap();
    } else {
        (void)done.error().display();
    }
    return 0;
}
