// The decoded data of one message as columns: one entry per item in subset
// order (subset 0's items in descriptor order, then subset 1's, ...), texts in
// one arena per message. This is what the data walker writes; the per-value
// objects, the reader's arrays and table rows are all made from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "data/decode.hpp"
#include "data/decoded_value.hpp"
#include "data/pool.hpp"
#include "error/error.hpp"
#include "message/message.hpp"
#include "tables/table_set.hpp"

namespace korvane {

// The texts of one message. A text is stored once however many items show
// it (a compressed text column whose increments are all zero holds one text
// for every subset).
class TextArena {
public:
    static constexpr std::uint64_t kNone = UINT64_MAX;

    std::uint64_t add(std::string_view text) {
        bytes_.append(text);
        ends_.push_back(bytes_.size());
        return ends_.size() - 1;
    }
    std::string_view get(std::uint64_t id) const noexcept {
        const std::size_t begin = id == 0 ? 0 : ends_[id - 1];
        return std::string_view(bytes_).substr(begin, ends_[id] - begin);
    }
    std::size_t size() const noexcept { return ends_.size(); }
    void clear() noexcept {
        bytes_.clear();
        ends_.clear();
    }

private:
    std::string bytes_;
    std::vector<std::size_t> ends_;
};

// One occurrence of a replicated group in one subset: its items are
// [begin, end). `node` names the replication in the descriptor tree (the same
// for every occurrence of it, in every subset); `parent` is the index of the
// enclosing occurrence in the same list, or -1.
struct GroupOccurrence {
    std::uint64_t begin;
    std::uint64_t end;
    std::int64_t parent;
    std::uint32_t node;
    std::uint32_t subset;
};

// A reference value defined by 2 03 YYY for element `code`. These are not
// data items; they are kept, in the order the data hold them, so that the
// message can be written again. Compressed data hold them once (subset 0).
struct NewReference {
    std::int64_t value;
    std::uint32_t code;
    std::uint32_t subset;
};

// The columns an item array can be asked for by.
enum class Column : std::uint8_t { Code, Kind, Missing, Value, Raw };

struct MessageColumns {
    // Compressed data, where every subset has the same items, are kept as
    // they are coded until an array is asked for: while row_width is not 0,
    // code, kind, missing, value and raw hold the first row alone (row_width
    // items), which every subset shares for the columns whose values do not
    // vary (most of them in real data); the columns that vary are kept whole,
    // one after another, in var_missing, var_value and var_raw (`rows`
    // entries each), var_column naming the column of each. expand() lays an
    // array out for every item; callers that index arrays item by item call
    // it (or expand_rows(), for all of them) first.
    PoolVector<std::uint32_t> code;
    PoolVector<std::uint8_t> kind;     // a ValueKind
    PoolVector<std::uint8_t> missing;  // 1 for a missing number or a text that is absent
    // The physical value (NaN when missing). Text items hold their text index
    // when DecodeOptions::text_index_values is set, NaN otherwise.
    PoolVector<double> value;
    // The bits read; for text items the id of the text in `texts`, or
    // TextArena::kNone when it is absent.
    PoolVector<std::uint64_t> raw;
    TextArena texts;
    // Items of subset s are [subset_bounds[s], subset_bounds[s + 1]).
    std::vector<std::uint64_t> subset_bounds;
    // Filled only when DecodeOptions::structure is set.
    std::vector<GroupOccurrence> groups;
    std::vector<NewReference> references;

    std::size_t row_width = 0;
    std::size_t rows = 0;
    PoolVector<std::uint64_t> var_column;
    PoolVector<std::uint8_t> var_missing;
    PoolVector<double> var_value;
    PoolVector<std::uint64_t> var_raw;

    std::size_t size() const noexcept { return row_width != 0 ? row_width * rows : value.size(); }
    // Empties every column, keeping their memory for the next message.
    void clear() noexcept;
    // Compressed data: the arrays hold the first row of `width` columns, for
    // `rows` subsets, until expanded.
    void keep_as_rows(std::size_t width, std::size_t rows_in) noexcept {
        row_width = width;
        rows = rows_in;
        pending_ = kAllColumns;
    }
    // Lays one array out for every item (nothing to do once it is).
    void expand(Column c);
    // Whether an array is laid out for every item.
    bool laid_out(Column c) const noexcept { return (pending_ & (1u << static_cast<unsigned>(c))) == 0; }
    void expand_rows();
    // Item i as the per-value API shows it (after expand_rows()).
    DecodedValue item(std::size_t i) const noexcept;

private:
    static constexpr std::uint8_t kAllColumns = 0x1f;
    std::uint8_t pending_ = 0;  // arrays still one row, a bit per Column
};

struct DecodeOptions {
    // Text items carry their text index in `value` (as DecodedValue's
    // raw_value reports it) rather than NaN.
    bool text_index_values = true;
    // Record the occurrences of replicated groups.
    bool structure = false;
    // The reader's rules, where they depart from those of the per-value
    // module (korvane._korvane), whose values are fixed by what it has always
    // returned: a negative scale multiplies by 10^-scale (exact) instead of
    // dividing by its inexact reciprocal; a class 31 element of a code table
    // (0 31 021) with all bits set is missing; an element announced by 2 06
    // YYY whose table entry is not YYY bits wide is stepped over as unknown
    // (the entry is not the one the data were written with); texts keep bytes
    // from 0x80 on (they are read as UTF-8) instead of turning them into '?';
    // and an operator the walk does not know is an error, not passed over.
    bool reader_rules = false;
    // Asked now and then during a long walk whether to stop.
    Interrupt interrupt;
    // The caller's budget of items for one message, 0 for none: a message
    // that would give more fails with LimitExceeded before they are stored.
    std::uint64_t max_items = 0;
};

// A message may give at most kItemAllowance + (data bits) * kItemsPerBit
// items (kItemsPerCompressedBit for compressed data, where one column of
// a few bits gives an item for every subset). Every item counts, those that
// read no bits too, so the bound holds before anything is allocated for them.
// The occurrences of replicated groups that DecodeOptions::structure records
// are held to the same bound (in compressed data, each one counted once per
// subset): a group of operators alone reads nothing and gives no items.
// The largest ratios in real data stay below with a margin: 0.19 items per
// bit uncompressed, 2.16 compressed (an NCEP satellite message), over every
// message of the corpus and of other BUFR tools' test data. So a message of
// 1 MiB gives at most some 25 million items, half a gigabyte of arrays.
inline constexpr std::uint64_t kItemAllowance = std::uint64_t{1} << 18;
inline constexpr std::uint64_t kItemsPerUncompressedBit4 = 1;  // in quarters: 0.25 items per bit
inline constexpr std::uint64_t kItemsPerCompressedBit = 3;

std::uint64_t max_items(const BufrMessage& message, std::uint64_t data_bits) noexcept;

// Decodes the data section of `message` into `out` (cleared first). On
// failure `out` holds an unspecified part of the items.
Result<void> decode_columns(const BufrMessage& message, const TableSet& tables, ByteView data,
                            MessageColumns& out, const DecodeOptions& options = {});

}  // namespace korvane
