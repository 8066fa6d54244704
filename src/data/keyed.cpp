// Items by key: the rows of a table of observations turned into the items
// encode_data writes, by the shared descriptor walk (data/walker.hpp) with
// leaves that look each element up by its code and rank in the subset.
#include <cmath>
#include <limits>
#include <string>
#include <unordered_map>

#include "data/decoded_value.hpp"
#include "data/encode.hpp"
#include "data/walker.hpp"
#include "descriptor/descriptor.hpp"

namespace korvane {

ItemArrays ItemStore::arrays(std::vector<std::string_view> texts) const {
    ItemArrays a;
    a.subset_bounds = subset_bounds;
    a.value = value;
    a.code = code;
    a.text = text;
    a.texts = std::move(texts);
    a.references = references;
    return a;
}

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Columns by (code, rank) and by (key, rank), in one index.
std::uint64_t column_key(std::uint32_t code_or_key, bool by_key, std::uint64_t rank) {
    return (std::uint64_t{code_or_key} << 33) | (std::uint64_t{by_key} << 32) | rank;
}

class KeyedLeaves {
public:
    static constexpr const char* kDepthError = "descriptor walk of a table exceeded recursion depth";

    KeyedLeaves(const KeyedTable& table, const TableSet& tables, ItemStore& out)
        : table_(table), tables_(tables), out_(out) {
        for (std::size_t c = 0; c < table.columns.size(); ++c) {
            const KeyedColumn& k = table.columns[c];
            index_.emplace(column_key(k.code_or_key, k.by_key, k.rank), c);
        }
        out_.used.assign(table.columns.size() * table.rows, 0);
    }

    // Every count given is for every row.
    Result<void> end_row() const {
        if (next_count_ == table_.counts.size()) return Ok{};
        return BufrError::table("row " + std::to_string(row_) + ": " + std::to_string(table_.counts.size()) +
                                " replication counts are given, but the row's descriptors take " +
                                std::to_string(next_count_));
    }

    void begin_row(std::size_t row) {
        row_ = row;
        ranks_.clear();
        key_ranks_.clear();
        next_count_ = 0;
        next_reference_ = 0;
    }

    std::uint64_t position() const noexcept { return out_.value.size(); }

    Result<std::optional<double>> element(const ElementInfo& info, const DifferenceOverride*, bool) {
        const std::uint32_t code = info.def->code;
        const KeyedColumn* col = take_column(code);
        if (col == nullptr) {
            push(code, kNaN, kNoText);
            return std::optional<double>();
        }
        if (!col->text.empty()) {
            push(code, kNaN, col->text[row_]);
            return std::optional<double>();
        }
        const double v = col->value[row_];
        push(code, v, kNoText);
        return std::isnan(v) ? std::optional<double>() : std::optional<double>(v);
    }

    Result<std::uint64_t> factor(const ElementInfo& info, std::span<const std::uint32_t> group) {
        const std::uint32_t code = info.def->code;
        std::uint64_t count = 0;
        if (const KeyedColumn* col = take_column(code); col != nullptr && col->text.empty()) {
            const double v = col->value[row_];
            if (!(v >= 0) || v != std::floor(v) || v > 65535)
                return BufrError::table("row " + std::to_string(row_) + ": replication count " + float_text(v) +
                                        " of " + padded_code(code) + " (rank " + std::to_string(col->rank) +
                                        ") is missing or not a whole number");
            count = static_cast<std::uint64_t>(v);
        } else if (!table_.counts.empty()) {
            if (next_count_ >= table_.counts.size())
                return BufrError::table("row " + std::to_string(row_) + ": the descriptors meet more delayed " +
                                        "replications than the " + std::to_string(table_.counts.size()) +
                                        " counts given");
            const std::int64_t n = table_.counts[next_count_++];
            if (n < 0)
                return BufrError::table("replication count " + std::to_string(n) + " is negative");
            count = static_cast<std::uint64_t>(n);
        } else {
            KORVANE_TRY(count, count_from_columns(code, group));
        }
        push(code, static_cast<double>(count), kNoText);
        return count;
    }

    Result<void> opaque(std::uint32_t code, std::uint16_t) {
        push(code, kNaN, kNoText);
        return Ok{};
    }

    Result<void> associated(std::uint8_t) {
        push(kAssociatedFieldCode, kNaN, kNoText);
        return Ok{};
    }

    Result<void> placeholder(std::uint32_t code) {
        push(code, 0.0, kNoText);
        return Ok{};
    }

    Result<void> text(std::uint32_t code, std::uint8_t) {
        push(code, kNaN, kNoText);
        return Ok{};
    }

    Result<std::int64_t> new_reference(std::uint32_t code, std::uint8_t) {
        if (next_reference_ >= table_.references.size())
            return BufrError::table("operator 2 03 defines a new reference value for " + padded_code(code) +
                                    ", but " + std::to_string(table_.references.size()) +
                                    " reference values are given and all are used");
        const std::int64_t v = table_.references[next_reference_++];
        out_.references.push_back(v);
        return v;
    }

private:
    // The key number of an element code, if it has a key.
    std::optional<std::uint32_t> key_of(std::uint32_t code) const {
        const auto it = table_.keys.find(code);
        if (it == table_.keys.end()) return std::nullopt;
        return it->second;
    }

    // The column of the next item of `code`, counting it by code and by key:
    // a column named by code first, else one named by key.
    const KeyedColumn* take_column(std::uint32_t code) {
        const std::uint32_t rank = ++ranks_[code];
        const std::optional<std::uint32_t> key = key_of(code);
        const std::uint32_t key_rank = key ? ++key_ranks_[*key] : 0;
        const KeyedColumn* c = find(code, false, rank);
        if (c == nullptr && key) c = find(*key, true, key_rank);
        return c;
    }

    const KeyedColumn* find(std::uint32_t code_or_key, bool by_key, std::uint64_t rank) {
        const auto it = index_.find(column_key(code_or_key, by_key, rank));
        if (it == index_.end()) return nullptr;
        out_.used[it->second * table_.rows + row_] = 1;
        return &table_.columns[it->second];
    }

    // The column of the rank-th item of `code` (by code, else by key), and
    // the ranks already taken in this row.
    const KeyedColumn* peek(std::uint32_t code, bool by_key, std::uint64_t rank) const {
        const auto key = key_of(code);
        if (by_key && !key) return nullptr;
        const auto it = index_.find(column_key(by_key ? *key : code, by_key, rank));
        return it == index_.end() ? nullptr : &table_.columns[it->second];
    }

    bool missing_in_row(const KeyedColumn& c) const {
        return c.text.empty() ? std::isnan(c.value[row_]) : c.text[row_] == kNoText;
    }

    void push(std::uint32_t code, double value, std::uint64_t text) {
        out_.code.push_back(code);
        out_.value.push_back(value);
        out_.text.push_back(text);
    }

    // The first element a group of descriptors gives, not counting class 31
    // (replication factors); 0 when there is none.
    std::uint32_t first_element(std::span<const std::uint32_t> group, int depth) const {
        if (depth > kMaxDescriptorDepth) return 0;
        for (const std::uint32_t c : group) {
            const Fxy d = split_code(c);
            if (d.f == 0 && d.x != 31) return c;
            if (d.f == 3) {
                const SequenceDefinition* seq = tables_.find_sequence(c);
                if (seq == nullptr) return 0;
                if (const std::uint32_t e = first_element(seq->members, depth + 1); e != 0) return e;
            }
        }
        return 0;
    }

    // How many times the group repeats in this row: the further ranks of its
    // first element that have columns, less those missing at the end.
    Result<std::uint64_t> count_from_columns(std::uint32_t factor, std::span<const std::uint32_t> group) {
        const std::uint32_t e = first_element(group, 0);
        if (e == 0)
            return BufrError::table("give the count of the delayed replication of " + padded_code(factor) +
                                    ": its group holds no element whose columns could count it");
        // Columns named by code, or else by key, with the ranks that follow.
        const bool by_key = peek(e, false, ranks_[e] + 1) == nullptr;
        const auto key = key_of(e);
        if (by_key && !key) return std::uint64_t{0};
        const std::uint64_t done = by_key ? key_ranks_[*key] : ranks_[e];
        std::uint64_t n = 0;
        while (peek(e, by_key, done + n + 1) != nullptr) ++n;
        for (; n > 0; --n) {
            const KeyedColumn* c = peek(e, by_key, done + n);
            if (c == nullptr || !missing_in_row(*c)) break;
        }
        return n;
    }

    const KeyedTable& table_;
    const TableSet& tables_;
    ItemStore& out_;
    std::unordered_map<std::uint64_t, std::size_t> index_;
    std::unordered_map<std::uint32_t, std::uint32_t> ranks_;      // items so far of each code
    std::unordered_map<std::uint32_t, std::uint32_t> key_ranks_;  // of each key
    std::size_t row_ = 0;
    std::size_t next_count_ = 0;
    std::size_t next_reference_ = 0;
};

}  // namespace

Result<ItemStore> resolve_keyed(std::span<const std::uint32_t> descriptors, const TableSet& tables,
                                const KeyedTable& table, const Interrupt& interrupt) {
    for (const KeyedColumn& c : table.columns)
        if ((c.text.empty() ? c.value.size() : c.text.size()) != table.rows)
            return BufrError::table("a column (rank " + std::to_string(c.rank) + ") does not have one entry per row");
    if (table.rows > 65535)
        return BufrError::table(std::to_string(table.rows) + " rows do not fit a message (65535 subsets do)");
    ItemStore out;
    ElementCache elements(tables, true);  // the reader's rules, as the writer's
    // The walk of each row takes at most the steps of a row of 64-bit
    // values for each item the descriptors could give from these columns.
    const std::uint64_t budget = 64 * (table.rows + 1) * (table.columns.size() + descriptors.size() + 64);
    WalkContext ctx(tables, elements, budget, static_cast<std::uint16_t>(table.rows), "writing a table", true);
    ctx.interrupt = interrupt;
    ValueCodingState state;
    KeyedLeaves leaves(table, tables, out);
    Structure structure(nullptr);
    Walker<KeyedLeaves> walker(ctx, state, leaves, structure);
    out.subset_bounds.push_back(0);
    for (std::size_t row = 0; row < table.rows; ++row) {
        state.reset();
        leaves.begin_row(row);
        KORVANE_TRY_VOID(walker.walk(descriptors, 0, static_cast<std::uint32_t>(row)));
        KORVANE_TRY_VOID(leaves.end_row());
        out.subset_bounds.push_back(out.value.size());
    }
    return out;
}

}  // namespace korvane
