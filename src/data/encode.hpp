// Encoding: the data of section 4 written from items in the shape decoding
// gives them (MessageColumns), by the same descriptor walk (data/walker.hpp)
// with leaf operations that write where the decoder's read.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "bitstream/bit_writer.hpp"
#include "data/decode.hpp"
#include "error/error.hpp"
#include "tables/table_set.hpp"

namespace korvane {

// The items of every subset, subset after subset, one entry per item in the
// order the descriptors give them: elements (replication factors and data
// present indicators included), associated fields, operator placeholders and
// inserted texts, as decoding lists them.
struct ItemArrays {
    // Items of subset s are [subset_bounds[s], subset_bounds[s + 1]); the
    // first bound is 0 and the last the number of items.
    std::span<const std::uint64_t> subset_bounds;
    // The physical value of each item; NaN is missing. Placeholders and texts
    // may hold anything.
    std::span<const double> value;
    // Missing items (1); when empty, the NaN values are the missing ones.
    std::span<const std::uint8_t> missing;
    // The bits each item was read from, when known: used where they decode to
    // the item's value under the coding in force (so that a value not
    // changed since it was decoded keeps its exact bits), and for the bits of
    // an element unknown to the tables (2 06 YYY). For text items without a
    // `text` array, the index of the text in `texts` (kNoText: none).
    std::span<const std::uint64_t> raw;
    // The descriptor code of each item; when given, each must be the one the
    // descriptors give at its place.
    std::span<const std::uint32_t> code;
    // The text of each item as an index into `texts` (kNoText: none); when
    // given, a text where a number belongs (or the reverse) is an error.
    std::span<const std::uint64_t> text;
    std::vector<std::string_view> texts;
    // The reference values that 2 03 YYY defines, in the order the walk
    // meets them: each subset's in turn for uncompressed data, once for
    // compressed data.
    std::span<const std::int64_t> references;

    // Compressed data as decoding keeps them (MessageColumns before its
    // arrays are laid out), when row_width is not 0: value, missing, raw and
    // code then hold one row of row_width items, which every subset shares
    // but in the columns var_column names; their values are in var_value,
    // var_missing and var_raw, a column after another, one entry per subset.
    std::size_t row_width = 0;
    std::span<const std::uint64_t> var_column;
    std::span<const double> var_value;
    std::span<const std::uint8_t> var_missing;
    std::span<const std::uint64_t> var_raw;
};

inline constexpr std::uint64_t kNoText = UINT64_MAX;

struct EncodeOptions {
    bool compressed = false;
    Interrupt interrupt;
    // The walk is bounded as a decode of data of this many bits would be,
    // if that is more than the items allow (a message written again from
    // its decoded items takes the steps its decoding took).
    std::uint64_t budget_bits = 0;
};

// The first subset's first values of year, month, day, hour, minute and
// second (0 04 001 to 0 04 006), as encode_data met them: what a header's
// typical date and time default to.
using FirstDate = std::array<std::optional<double>, 6>;

// Writes the data of `descriptors` (section 3's list) for the items, section
// 4 without its four-octet header, completed to whole octets with zero bits.
// Compressed data take, for each element, the least reference R0 and the
// fewest increment bits that hold the subsets' values (and the missing ones).
// Errors name the subset, the item and the descriptor: a value that does not
// fit its width after scale and reference (nothing is wrapped or clipped), a
// subset with more or fewer items than its descriptors take, an item whose
// code is not the one the descriptors give, a missing replication count, a
// descriptor the tables lack, compressed subsets whose items differ.
// `first_date`, when given, receives the first subset's date and time.
Result<BitWriter::Bytes> encode_data(std::span<const std::uint32_t> descriptors, const TableSet& tables,
                                     const ItemArrays& items, const EncodeOptions& options = {},
                                     FirstDate* first_date = nullptr);

// ---- items by key ------------------------------------------------------------------

// A table of observations, one row per subset, whose columns each hold the
// rank-th item of one key or one element code in every subset (as read_bufr
// names them: "#2#airTemperature" is the second item whose element has that
// key, "#2#012101" the second of code 0 12 101).
struct KeyedColumn {
    // An element code, or a key: the key numbers of KeyedTable::keys.
    std::uint32_t code_or_key;
    bool by_key;
    std::uint32_t rank;  // from 1
    // One entry per row: a number (NaN missing), or for a text column an
    // index into the table's texts (kNoText missing); the other is empty.
    std::span<const double> value;
    std::span<const std::uint64_t> text;
};

struct KeyedTable {
    std::size_t rows = 0;
    std::vector<KeyedColumn> columns;
    // The key number of each element code that has a key; elements of one
    // key (several codes may share one) are ranked together.
    std::unordered_map<std::uint32_t, std::uint32_t> keys;
    // Delayed replication counts for the factors no column gives, in the
    // order each subset's walk meets them (the same for every row); when
    // empty, a count is found from the columns (see resolve_keyed).
    std::span<const std::int64_t> counts;
    // The new reference values of 2 03 YYY, in walk order, for every row.
    std::span<const std::int64_t> references;
};

// Items owned, as resolve_keyed makes them.
struct ItemStore {
    std::vector<std::uint64_t> subset_bounds;
    std::vector<double> value;
    std::vector<std::uint32_t> code;
    std::vector<std::uint64_t> text;
    std::vector<std::int64_t> references;
    // Whether an item took the value of column c in row r: used[c * rows + r].
    std::vector<std::uint8_t> used;

    ItemArrays arrays(std::vector<std::string_view> texts) const;
};

// The items of every row of `table` under `descriptors`, in the shape
// encode_data takes (missing values NaN, texts as indices into the table's
// texts). Each element takes the column of its code and rank, or is missing
// when the table has none; associated fields and inserted texts are
// missing. A delayed replication count comes from the column of its factor
// (0 31 001, ...) and rank, else from `counts`, else from the table: the
// number of further ranks of the replicated group's first element that
// have a column, less those at the end that are missing in the row.
Result<ItemStore> resolve_keyed(std::span<const std::uint32_t> descriptors, const TableSet& tables,
                                const KeyedTable& table, const Interrupt& interrupt = {});

}  // namespace korvane
