// libFuzzer target: writing a message again from its decoded items. A
// mutated message that decodes, with the tables its header names in the
// installed ecCodes definitions, is encoded from its items (as decoding
// keeps them, and laid out item by item), with its own header and
// compression, and with the other compression; each message written must
// parse and decode to the same items: codes, kinds, missing, values, the
// bits of the numbers and the texts. The encoder may refuse only what the
// other compression cannot hold (subsets that differ, a value of all ones);
// the second decode may stop only at its bounds on work per bit of data.
//   build/fuzz/fuzz_encode -max_total_time=300 -rss_limit_mb=4096 ../shared/corpus/ed4
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "data/columns.hpp"
#include "data/encode.hpp"
#include "message/message.hpp"
#include "message/write.hpp"
#include "tables/definitions.hpp"
#include "tables/eccodes.hpp"
#include "tables/files.hpp"

namespace {

const char* kDefinitions = "/usr/share/eccodes/definitions";
constexpr std::size_t kCachedTableSets = 8;
constexpr std::size_t kConvertedItems = std::size_t{1} << 20;

// As fuzz_decode: table sets by the directories a header resolves to.
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

const korvane::TableSet* tables_for(const korvane::BufrMessage& m) {
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

// The encoder writes what the reader's rules read (texts as UTF-8, an
// element after 2 06 YYY as YYY bits of its own), so both decodes use them.
korvane::DecodeOptions reader_rules() {
    korvane::DecodeOptions options;
    options.reader_rules = true;
    return options;
}

// Stops the run, saying why first, so that a failing input explains itself.
[[noreturn]] void fail(const std::string& why) {
    std::fprintf(stderr, "fuzz_encode: %s\n", why.c_str());
    __builtin_trap();
}

bool contains(const std::string& text, std::string_view part) { return text.find(part) != std::string::npos; }

// The items of decoded columns as the encoder takes them, in either layout.
korvane::ItemArrays items_of(const korvane::MessageColumns& c, std::vector<std::int64_t>& references) {
    korvane::ItemArrays a;
    a.subset_bounds = c.subset_bounds;
    a.value = c.value;
    a.missing = c.missing;
    a.raw = c.raw;
    a.code = c.code;
    if (!c.laid_out(korvane::Column::Value)) {
        a.row_width = c.row_width;
        a.var_column = c.var_column;
        a.var_value = c.var_value;
        a.var_missing = c.var_missing;
        a.var_raw = c.var_raw;
    }
    for (std::size_t i = 0; i < c.texts.size(); ++i) a.texts.push_back(c.texts.get(i));
    references.clear();
    for (const korvane::NewReference& r : c.references) references.push_back(r.value);
    a.references = references;
    return a;
}

bool same_value(double a, double b) { return (std::isnan(a) && std::isnan(b)) || a == b; }

// Both laid out: the same items.
void check_same_items(korvane::MessageColumns& a, korvane::MessageColumns& b) {
    a.expand_rows();
    b.expand_rows();
    if (a.size() != b.size() || a.subset_bounds != b.subset_bounds) __builtin_trap();
    for (std::size_t i = 0; i < a.size(); ++i) {
        const korvane::DecodedValue x = a.item(i), y = b.item(i);
        if (x.descriptor != y.descriptor || x.kind != y.kind || x.has_value != y.has_value) __builtin_trap();
        if (x.is_text()) {
            if (x.text != y.text) __builtin_trap();
        } else if (x.has_value) {
            // A missing number's bits in compressed data are its column's R0.
            if (!same_value(x.value, y.value) || x.raw_bits != y.raw_bits) __builtin_trap();
        }
    }
}

// Writes the items again with `compressed`, then decodes and compares.
void round_trip(const korvane::BufrMessage& m, korvane::ByteView buf, const korvane::TableSet& tables,
                korvane::MessageColumns& decoded, bool compressed, bool laid_out) {
    if (laid_out) decoded.expand_rows();
    std::vector<std::int64_t> references;
    korvane::ItemArrays items = items_of(decoded, references);
    if (compressed != m.compressed_data) {
        // Uncompressed subsets each define their own reference values;
        // compressed data, one set for all.
        if (!references.empty()) return;
    }
    korvane::EncodeOptions options;
    options.compressed = compressed;
    options.budget_bits = std::uint64_t{m.section4_data_length} * 8;
    auto data = korvane::encode_data(m.unexpanded_descriptors, tables, items, options);
    if (!data) {
        const std::string why = data.error().display();
        // Uncompressed data without subsets are never walked, so their
        // descriptors may be any; compressed data walk them once even then.
        if (compressed && !m.compressed_data && m.number_of_subsets == 0) return;
        // What only the other compression cannot hold.
        if (compressed != m.compressed_data &&
            (contains(why, "compressed data hold") || contains(why, "does not fit its coding") ||
             contains(why, "compressed increments") || contains(why, "longer than compressed data") ||
             contains(why, "cannot be the replication count")))
            return;
        fail("encoding failed: " + why);
    }
    korvane::BufrMessage header = m;
    header.compressed_data = compressed;
    korvane::MessageParts parts;  // the fields alone: section 1's local octets play no part here
    auto length = korvane::message_length(header, parts, data->size());
    if (!length) {
        // Uncompressed data may outgrow what three octets can state.
        if (compressed != m.compressed_data && contains(length.error().display(), "more than the 16777215")) return;
        fail("no length: " + length.error().display());
    }
    std::vector<std::uint8_t> out(static_cast<std::size_t>(*length));
    const std::vector<std::uint8_t> bits = data->to_vector();
    korvane::write_message(out, header, parts, korvane::ByteView(bits.data(), bits.size()));
    auto again = korvane::parse_message_any_edition(out);
    if (!again) __builtin_trap();
    if (again->number_of_subsets != m.number_of_subsets || again->unexpanded_descriptors != m.unexpanded_descriptors)
        __builtin_trap();
    korvane::MessageColumns second;
    auto done = korvane::decode_columns(*again, tables, again->section4_data(out), second, reader_rules());
    if (!done) {
        // Fewer bits than the message had can cross the bounds on items and
        // steps per bit of data.
        const std::string why = done.error().display();
        if (contains(why, "would give more than") || contains(why, "would take more than")) return;
        fail("the message written does not decode: " + why);
    }
    korvane::MessageColumns first;
    if (!korvane::decode_columns(m, tables, m.section4_data(buf), first, reader_rules())) __builtin_trap();
    check_same_items(first, second);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const korvane::ByteView buf(data, size);
    auto m = korvane::parse_message_any_edition(buf);
    if (!m) return 0;
    const korvane::TableSet* tables = tables_for(*m);
    if (tables == nullptr) return 0;
    korvane::MessageColumns columns;
    if (!korvane::decode_columns(*m, *tables, m->section4_data(buf), columns, reader_rules())) return 0;
    // The items as decoding keeps them, then laid out; the same compression,
    // then the other.
    round_trip(*m, buf, *tables, columns, m->compressed_data, false);
    round_trip(*m, buf, *tables, columns, m->compressed_data, true);
    // Compressed data written uncompressed take up to 64 bits an item:
    // bounded, so that an input stays within the fuzzer's memory.
    if (columns.size() <= kConvertedItems) round_trip(*m, buf, *tables, columns, !m->compressed_data, true);
    return 0;
}
