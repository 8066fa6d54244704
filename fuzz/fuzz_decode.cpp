// libFuzzer target: decoding the data section of one message, with the tables
// its header names in the installed ecCodes definitions (loaded once per table
// choice). Any input must give values or an error, never a crash, undefined
// behaviour or unbounded work.
//   build/fuzz/fuzz_decode -max_total_time=300 -rss_limit_mb=4096 ../shared/corpus/ed4
#include <cstddef>
#include <cstdint>
#include <map>
#include <tuple>

#include "data/columns.hpp"
#include "message/message.hpp"
#include "tables/definitions.hpp"

namespace {

const char* kDefinitions = "/usr/share/eccodes/definitions";

const korvane::TableSet* tables_for(const korvane::BufrMessage& m) {
    using Key = std::tuple<int, int, int, int, int>;
    static std::map<Key, korvane::TableSet> cache;
    const Key key{m.master_table_number, m.master_tables_version_number, m.local_tables_version_number,
                  m.originating_centre, m.originating_subcentre};
    auto it = cache.find(key);
    if (it == cache.end()) {
        auto loaded = korvane::from_eccodes_definitions(kDefinitions, m);
        if (!loaded) return nullptr;
        it = cache.emplace(key, std::move(loaded).value()).first;
    }
    return &it->second;
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
        // Every value must be readable in full.
        std::size_t texts = 0;
        for (std::size_t i = 0; i < columns.size(); ++i) texts += korvane::decoded_value_text(columns.item(i), *tables).size();
        if (texts == 0 && columns.size() != 0) __builtin_trap();
        if (columns.subset_bounds.size() != std::size_t{m->number_of_subsets} + 1u) __builtin_trap();
    } else {
        (void)done.error().display();
    }
    return 0;
}
