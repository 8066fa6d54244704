// What the decoding targets share: the tables a message's header names, found
// through the core's table cache in the installed ecCodes definitions, and a
// decode into columns whose results are checked for consistency and read in
// full (every array laid out, a sample of values rendered as text).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "data/columns.hpp"
#include "message/message.hpp"
#include "tables/cache.hpp"
#include "tables/definitions.hpp"

// Traps, naming the broken promise, unless `cond` holds.
#define FUZZ_CHECK(cond)                                                                       \
    do {                                                                                       \
        if (!(cond)) {                                                                         \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);      \
            __builtin_trap();                                                                  \
        }                                                                                      \
    } while (0)

namespace fuzz {

inline const char* const kDefinitions = "/usr/share/eccodes/definitions";

// The tables of a message's header, or null when the definitions have none.
// The cache keeps the sets by the directories they resolve to, and a bounded
// number of them, so memory stays bounded however many headers inputs name.
inline std::shared_ptr<const korvane::TableSet> tables_for(const korvane::BufrMessage& m) {
    auto loaded = korvane::TableCache::shared().load(kDefinitions, korvane::table_request(m));
    if (!loaded) {
        (void)loaded.error().describe();
        return nullptr;
    }
    return std::move(loaded).value();
}

// The first values read, then every kRenderedStride-th one.
inline constexpr std::size_t kRenderedHead = 64;
inline constexpr std::size_t kRenderedStride = 97;

// Decodes message `m` (parsed from `bytes`) with `tables`, recording its
// groups, and checks what a decode promises its readers; traps otherwise.
// Returns whether it decoded.
inline bool decode_and_check(const korvane::BufrMessage& m, korvane::ByteView bytes, const korvane::TableSet& tables,
                             bool reader_rules, korvane::MessageColumns& columns) {
    korvane::DecodeOptions options;
    options.structure = true;
    options.reader_rules = reader_rules;
    auto done = korvane::decode_columns(m, tables, m.section4_data(bytes), columns, options);
    if (!done) {
        (void)done.error().display();
        (void)done.error().describe();
        return false;
    }
    const std::size_t items = columns.size();
    const auto& bounds = columns.subset_bounds;
    FUZZ_CHECK(bounds.size() == std::size_t{m.number_of_subsets} + 1u && bounds.front() == 0 && bounds.back() == items);
    for (std::size_t s = 1; s < bounds.size(); ++s)
        FUZZ_CHECK(bounds[s - 1] <= bounds[s]);
    // The bound on items holds (each group occurrence counts as one too).
    const std::uint64_t bound = korvane::max_items(m, std::uint64_t{m.section4_data_length} * 8);
    FUZZ_CHECK(items <= bound && columns.groups.size() <= bound);
    for (std::size_t g = 0; g < columns.groups.size(); ++g) {
        const korvane::GroupOccurrence& o = columns.groups[g];
        FUZZ_CHECK(o.subset < m.number_of_subsets);
        FUZZ_CHECK(bounds[o.subset] <= o.begin && o.begin <= o.end && o.end <= bounds[o.subset + 1]);
        FUZZ_CHECK(-1 <= o.parent && o.parent < static_cast<std::int64_t>(g));
        if (o.parent >= 0) {
            const korvane::GroupOccurrence& p = columns.groups[static_cast<std::size_t>(o.parent)];
            FUZZ_CHECK(p.subset == o.subset && p.begin <= o.begin && o.end <= p.end);
        }
    }
    // Every array laid out for every item, then read.
    columns.expand_rows();
    FUZZ_CHECK(columns.code.size() == items && columns.kind.size() == items && columns.missing.size() == items &&
               columns.value.size() == items && columns.raw.size() == items);
    // A sample is read item by item: the first items, then every
    // kRenderedStride-th (checking every item of a large message would cost
    // more than its decode, under the fuzzer's instrumentation).
    std::size_t rendered = 0;
    for (std::size_t i = 0; i < items; i = i < kRenderedHead ? i + 1 : (i / kRenderedStride + 1) * kRenderedStride) {
        const auto kind = static_cast<korvane::ValueKind>(columns.kind[i]);
        FUZZ_CHECK(kind <= korvane::ValueKind::InsertedText);
        const bool text = kind == korvane::ValueKind::Character || kind == korvane::ValueKind::InsertedText;
        FUZZ_CHECK(!text || columns.raw[i] == korvane::TextArena::kNone || columns.raw[i] < columns.texts.size());
        rendered += korvane::decoded_value_text(columns.item(i), tables).size();
    }
    FUZZ_CHECK(items == 0 || rendered != 0);
    return true;
}

}  // namespace fuzz
