// Decoding: the leaf readers of the shared descriptor walk (data/walker.hpp)
// for uncompressed and compressed data. Uncompressed data hold one subset
// after another, so the walk runs once per subset and each leaf reads one
// value. Compressed data hold, for every element, a reference R0, an
// increment width NBINC and one increment per subset, so the walk runs once
// and each leaf reads a column.
//
// Compressed data are walked once. The walk checks that every column fits
// the data and writes the first row of the message; most columns have NBINC
// 0 and hold that one value in every subset. The columns that vary are noted
// and then read without walking again, each one's values in a row. Arrays are
// laid out in subset order, item (subset s, column c) at s * columns + c, only
// when asked for (MessageColumns::expand).
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <span>
#include <type_traits>
#include <string>
#include <unordered_map>
#include <utility>

#include "data/columns.hpp"
#include "data/decode.hpp"
#include "data/walker.hpp"
#include "descriptor/descriptor.hpp"

namespace korvane {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::uint16_t kIncrementWidthBits = 6;

// The bound on a message's items: the decoder's own, or the caller's budget
// when that is lower.
struct ItemBound {
    std::uint64_t max;
    bool budget;
};

BufrError items_exceeded(ItemBound bound, std::uint64_t bits) {
    if (bound.budget)
        return BufrError::limit_exceeded("the message gives more than " + std::to_string(bound.max) +
                                         " items, the max_items budget");
    return BufrError::limit_exceeded("decoding would give more than " + std::to_string(bound.max) + " items for " +
                                     std::to_string(bits) +
                                     " bits of data: descriptors are repeated without reading data");
}

Result<std::uint64_t> read_bits(BitReader& reader, std::uint16_t width) {
    std::uint64_t v = 0;
    if (!reader.try_read(width, v)) return reader.read_error(width);
    return v;
}

// ---- uncompressed data: one value per leaf -----------------------------------------

class SubsetLeaves {
public:
    static constexpr const char* kDepthError = "descriptor decode exceeded recursion depth";

    SubsetLeaves(MessageColumns& out, BitReader& reader, ValueCodingState& state, ItemBound max_items,
                 const DecodeOptions& options)
        : out_(out), reader_(reader), state_(state), max_items_(max_items), options_(options) {}

    std::uint64_t position() const noexcept { return out_.code.size(); }

    Result<std::optional<double>> element(const ElementInfo& info, const DifferenceOverride* diff, bool) {
        const ElementDefinition& def = *info.def;
        if (info.character) {
            const std::uint16_t width = text_width(info, state_, diff);
            KORVANE_TRY_VOID(reader_.read_bytes_into(width, scratch_));
            state_.text_counter += 1;
            KORVANE_TRY_VOID(push_text(def.code, ValueKind::Character,
                                       static_cast<double>(state_.text_counter * 1000 + width / 8u)));
            return std::optional<double>();
        }
        Scaling scaling;
        KORVANE_TRY(const NumericCoding c, coding_of(info, state_, diff, options_.reader_rules, scaling));
        std::uint64_t bits = 0;
        if (!reader_.try_read(c.width, bits)) return reader_.read_error(c.width);
        if (c.width <= 63 && info.all_ones_missing && bits == (std::uint64_t{1} << c.width) - 1) {
            KORVANE_TRY_VOID(push(def.code, ValueKind::Numeric, true, kNaN, bits));
            return std::optional<double>();
        }
        const double value = scaled_value(bits, c.reference, scaling);
        KORVANE_TRY_VOID(push(def.code, ValueKind::Numeric, false, value, bits));
        return std::optional<double>(value);
    }

    Result<std::uint64_t> factor(const ElementInfo& info, std::span<const std::uint32_t>) {
        KORVANE_TRY(const std::optional<double> value, element(info, nullptr, true));
        return replication_count(value);
    }

    Result<void> opaque(std::uint32_t code, std::uint16_t width) {
        KORVANE_TRY(const std::uint64_t bits, read_bits(reader_, width));
        return push(code, ValueKind::Numeric, true, kNaN, bits);
    }

    Result<void> associated(std::uint8_t width) {
        KORVANE_TRY(const std::uint64_t bits, read_bits(reader_, width));
        return push(kAssociatedFieldCode, ValueKind::AssociatedField, false, static_cast<double>(bits), bits);
    }

    Result<void> placeholder(std::uint32_t code) { return push(code, ValueKind::Operator, false, 0.0, 0); }

    Result<void> text(std::uint32_t code, std::uint8_t y) {
        KORVANE_TRY_VOID(reader_.read_bytes_into(static_cast<std::uint16_t>(8u * y), scratch_));
        state_.text_counter += 1;
        return push_text(code, ValueKind::InsertedText, static_cast<double>(state_.text_counter * 1000 + y));
    }

    Result<std::int64_t> new_reference(std::uint32_t code, std::uint8_t width) {
        KORVANE_TRY(const std::uint64_t bits, read_bits(reader_, width));
        const std::int64_t value = signed_reference(bits, width);
        const auto subset = static_cast<std::uint32_t>(out_.subset_bounds.size() - 1);
        out_.references.push_back(NewReference{value, code, subset});
        return value;
    }

private:
    Result<void> push(std::uint32_t code, ValueKind kind, bool missing, double value, std::uint64_t raw) {
        const std::size_t n = out_.code.size();
        if (n == out_.code.capacity()) {
            if (n >= max_items_.max) return items_exceeded(max_items_, reader_.bit_len());
            // Grow geometrically, but never past the bound.
            std::size_t want = n < 4096 ? 4096 : 2 * n;
            if (want > max_items_.max) want = static_cast<std::size_t>(max_items_.max);
            out_.code.reserve(want);
            out_.kind.reserve(want);
            out_.missing.reserve(want);
            out_.value.reserve(want);
            out_.raw.reserve(want);
        }
        out_.code.push_back(code);
        out_.kind.push_back(static_cast<std::uint8_t>(kind));
        out_.missing.push_back(missing ? 1 : 0);
        out_.value.push_back(value);
        out_.raw.push_back(raw);
        return Ok{};
    }

    // The text read into scratch_, as an item of `kind`.
    Result<void> push_text(std::uint32_t code, ValueKind kind, double index) {
        const bool present = clean_ia5_text(scratch_, options_.reader_rules);
        const std::uint64_t id = present ? out_.texts.add(scratch_) : TextArena::kNone;
        return push(code, kind, !present, options_.text_index_values ? index : kNaN, id);
    }

    MessageColumns& out_;
    BitReader& reader_;
    ValueCodingState& state_;
    ItemBound max_items_;
    const DecodeOptions& options_;
    std::string scratch_;
};

// ---- compressed data: one column per leaf ------------------------------------------

// A column whose values vary between subsets, as the first pass found it:
// enough to read its values again without walking the descriptors.
struct VaryingColumn {
    enum class Type : std::uint8_t { Numeric, SharedText, Texts };
    Type type;
    bool missing_values;  // numeric: an increment of all ones is missing
    bool all_missing;     // numeric: R0 of all ones, every subset missing
    bool opaque;          // numeric: bits kept without a value
    std::uint16_t width;  // bits of an increment (numeric), of a text, or of R0 (shared text)
    std::uint64_t start;  // bit of the first increment, or of R0 (shared text)
    std::uint64_t r0;     // numeric: R0; texts: the bytes of the element's text, its part of text indices
    std::uint64_t text_column;  // texts: the column's number among text columns
    Int128 reference;
    Scaling scaling;
};

// The first pass over compressed data: reads what steers the walk, checks
// that every column is sound and fits the data, and counts the columns. It
// writes the first row of the message: every column's code and kind, and
// the missing flag, value and raw bits of a column that is the same in every
// subset (NBINC 0, or an operator's placeholder), which is most of them in
// real data. The columns that vary are recorded, for write_varying_columns.
class ColumnLeaves {
public:
    static constexpr const char* kDepthError = "compressed descriptor decode exceeded recursion depth";

    ColumnLeaves(MessageColumns& out, BitReader& reader, WalkContext& ctx, ValueCodingState& state,
                 std::uint16_t subsets, ItemBound max_items, std::vector<VaryingColumn>& varying)
        : out_(out), reader_(reader), ctx_(ctx), state_(state), subsets_(subsets), max_items_(max_items),
          varying_(varying) {}

    std::uint64_t position() const noexcept { return column_; }
    std::uint64_t columns() const noexcept { return column_; }

    Result<std::optional<double>> element(const ElementInfo& info, const DifferenceOverride* diff, bool need_value) {
        const ElementDefinition& def = *info.def;
        if (info.character) {
            // Its value, should a bitmap ask for it, is the first subset's text index.
            const std::uint64_t c = state_.text_column_counter;
            const std::uint16_t width = text_width(info, state_, diff);
            KORVANE_TRY_VOID(text_column(def.code, ValueKind::Character, width));
            if (!need_value) return std::optional<double>();
            if (subsets_ == 0) return std::optional<double>(0.0);
            return std::optional<double>(static_cast<double>((c * subsets_ + 1) * 1000 + width / 8u));
        }
        Scaling scaling;
        KORVANE_TRY(const NumericCoding c, coding_of(info, state_, diff, ctx_.reader_rules, scaling));
        std::optional<double> first;
        if (need_value && subsets_ == 0) first = 0.0;
        KORVANE_TRY_VOID(numeric_column(def.code, ValueKind::Numeric, c.width, c.reference, scaling,
                                        info.all_ones_missing, need_value,
                                        [&](unsigned s, bool missing, double v) -> Result<void> {
                                            if (s == 0 && !missing) first = v;
                                            return Ok{};
                                        }));
        return first;
    }

    Result<std::uint64_t> factor(const ElementInfo& info, std::span<const std::uint32_t>) {
        if (info.character) {
            // A text read as a factor counts by its text index, which differs
            // between subsets unless there is only one.
            const std::uint64_t c = state_.text_column_counter;
            KORVANE_TRY_VOID(text_column(info.def->code, ValueKind::Character, text_width(info, state_, nullptr)));
            if (subsets_ == 0) return std::uint64_t{0};
            if (subsets_ > 1) return varying_factors();
            return replication_count(static_cast<double>((c + 1) * 1000 + text_width(info, state_, nullptr) / 8u));
        }
        Scaling scaling;
        KORVANE_TRY(const NumericCoding c, coding_of(info, state_, nullptr, ctx_.reader_rules, scaling));
        std::optional<double> first;
        bool varying = false;
        KORVANE_TRY_VOID(numeric_column(info.def->code, ValueKind::Numeric, c.width, c.reference, scaling,
                                        info.all_ones_missing, true,
                                        [&](unsigned s, bool missing, double v) -> Result<void> {
                                            if (s == 0) {
                                                if (!missing) first = v;
                                            } else if (first && (missing || !(std::fabs(v - *first) <=
                                                                               2.220446049250313e-16))) {
                                                // Within 2^-52 of the first subset's factor counts as equal.
                                                varying = true;
                                            }
                                            return Ok{};
                                        }));
        if (varying) return varying_factors();
        return replication_count(first);
    }

    Result<void> associated(std::uint8_t width) {
        return numeric_column(kAssociatedFieldCode, ValueKind::AssociatedField, width, 0, Scaling{}, false, false,
                              nullptr);
    }

    Result<void> opaque(std::uint32_t code, std::uint16_t width) {
        return numeric_column(code, ValueKind::Numeric, width, 0, Scaling{}, false, false, nullptr, true);
    }

    Result<void> placeholder(std::uint32_t code) {
        KORVANE_TRY_VOID(count_column());
        constant_column(code, ValueKind::Operator, false, 0.0, 0);
        return Ok{};
    }

    Result<void> text(std::uint32_t code, std::uint8_t y) {
        return text_column(code, ValueKind::InsertedText, static_cast<std::uint16_t>(8u * y));
    }

    // A new reference value (2 03 YYY) must be the same in every subset, so
    // every increment must be zero.
    Result<std::int64_t> new_reference(std::uint32_t code, std::uint8_t width) {
        KORVANE_TRY(const std::uint64_t r0, read_bits(reader_, width));
        KORVANE_TRY(const std::uint64_t nbinc, read_bits(reader_, kIncrementWidthBits));
        const auto w = static_cast<std::uint16_t>(nbinc);
        for (unsigned s = 0; s < subsets_; ++s) {
            KORVANE_TRY(const std::uint64_t inc, read_bits(reader_, w));
            if (inc != 0) return BufrError::table("changed reference values differ between subsets");
        }
        const std::int64_t value = signed_reference(r0, width);
        out_.references.push_back(NewReference{value, code, 0});
        return value;
    }

private:
    static BufrError varying_factors() {
        return BufrError::unsupported("compressed delayed replication with varying factors is not implemented");
    }

    void constant_column(std::uint32_t code, ValueKind kind, bool missing, double value, std::uint64_t raw) {
        out_.code.push_back(code);
        out_.kind.push_back(static_cast<std::uint8_t>(kind));
        out_.missing.push_back(missing ? 1 : 0);
        out_.value.push_back(value);
        out_.raw.push_back(raw);
        ++column_;
    }
    void varying_column(std::uint32_t code, ValueKind kind, const VaryingColumn& v) {
        out_.var_column.push_back(column_);
        varying_.push_back(v);
        constant_column(code, kind, false, 0.0, 0);
    }

    // Counts one column of `subsets` items against both bounds.
    Result<void> count_column() {
        KORVANE_TRY_VOID(ctx_.add_values(subsets_));
        items_ += subsets_;
        if (items_ > max_items_.max) return items_exceeded(max_items_, reader_.bit_len());
        return Ok{};
    }

    // Whether the pass may step over `count` fields of `width` bits: they
    // must lie inside the data (otherwise they are read one by one, so that
    // the failure names the field that runs out).
    bool can_skip(std::uint64_t count, std::uint64_t width) const noexcept {
        return width == 0 || count <= reader_.bits_left() / width;
    }

    // One numeric column: R0 of `width` bits, NBINC, then NBINC bits per
    // subset. `visit(s, missing, value)` sees every subset's value when
    // `need_values` is set. An `opaque` column keeps only its bits: every
    // item is without value.
    template <class Visit>
    Result<void> numeric_column(std::uint32_t code, ValueKind kind, std::uint16_t width, Int128 reference,
                                Scaling scaling, bool missing_values, bool need_values, Visit&& visit,
                                bool opaque = false) {
        constexpr bool kVisit = !std::is_same_v<std::decay_t<Visit>, std::nullptr_t>;
        KORVANE_TRY(const std::uint64_t r0, read_bits(reader_, width));
        KORVANE_TRY(const std::uint64_t nbinc_bits, read_bits(reader_, kIncrementWidthBits));
        const auto nbinc = static_cast<std::uint16_t>(nbinc_bits);
        const bool all_missing = missing_values && width <= 63 && r0 == (std::uint64_t{1} << width) - 1;
        const std::uint64_t missing_increment = (std::uint64_t{1} << nbinc) - 1;  // nbinc <= 63
        if (nbinc == 0) {
            // Every subset holds R0.
            const bool missing = all_missing || opaque;
            const double value = missing ? kNaN : scaled_value(r0, reference, scaling);
            if constexpr (kVisit) {
                if (need_values)
                    for (unsigned s = 0; s < subsets_; ++s) KORVANE_TRY_VOID(visit(s, missing, value));
            }
            KORVANE_TRY_VOID(count_column());
            constant_column(code, kind, missing, value, r0);
            return Ok{};
        }
        const std::uint64_t start = reader_.position();
        const std::uint64_t end = start + std::uint64_t{subsets_} * nbinc;
        // An increment can overflow 64 bits only when R0 is that large.
        const bool may_overflow = !all_missing && r0 > UINT64_MAX - missing_increment;
        if (!need_values && !may_overflow && can_skip(subsets_, nbinc)) {
            reader_.seek(end);
        } else {
            for (unsigned s = 0; s < subsets_; ++s) {
                std::uint64_t inc = 0;
                if (!reader_.try_read(nbinc, inc)) return reader_.read_error(nbinc);
                const bool missing = all_missing || (missing_values && inc == missing_increment);
                if (!missing && inc > UINT64_MAX - r0)
                    return BufrError::table("compressed value of descriptor " + padded_code(code) +
                                            " exceeds 64 bits (reference " + std::to_string(r0) +
                                            " plus increment " + std::to_string(inc) + ")");
                if constexpr (kVisit) {
                    if (need_values) {
                        const bool is_missing = missing || opaque;
                        KORVANE_TRY_VOID(visit(s, missing, is_missing ? kNaN : scaled_value(r0 + inc, reference, scaling)));
                    }
                }
            }
        }
        KORVANE_TRY_VOID(count_column());
        varying_column(code, kind,
                       VaryingColumn{VaryingColumn::Type::Numeric, missing_values, all_missing, opaque, nbinc, start,
                                     r0, 0, reference, scaling});
        return Ok{};
    }

    // One text column of `width` bits: R0, NBINC, then NBINC bytes per
    // subset. Text indices continue across the columns: column c gives
    // subset j the index (c * N + j + 1) * 1000 + bytes.
    Result<void> text_column(std::uint32_t code, ValueKind kind, std::uint16_t width) {
        const std::uint64_t r0_start = reader_.position();
        KORVANE_TRY_VOID(reader_.read_bytes_into(width, scratch_));
        KORVANE_TRY(const std::uint64_t nbinc, read_bits(reader_, kIncrementWidthBits));
        const std::uint64_t c = state_.text_column_counter++;
        if (nbinc == 0) {
            // One text for every subset, stored once for the message.
            KORVANE_TRY_VOID(count_column());
            varying_column(code, kind,
                           VaryingColumn{VaryingColumn::Type::SharedText, false, false, false, width, r0_start,
                                         width / 8u, c, 0, Scaling{}});
            return Ok{};
        }
        const auto bytes_width = static_cast<std::uint16_t>(8 * nbinc);
        const std::uint64_t start = reader_.position();
        const std::uint64_t end = start + std::uint64_t{subsets_} * bytes_width;
        if (can_skip(subsets_, bytes_width)) {
            reader_.seek(end);
        } else {
            for (unsigned s = 0; s < subsets_; ++s) KORVANE_TRY_VOID(reader_.read_bytes_into(bytes_width, scratch_));
        }
        KORVANE_TRY_VOID(count_column());
        varying_column(code, kind,
                       VaryingColumn{VaryingColumn::Type::Texts, false, false, false, bytes_width, start, width / 8u, c,
                                     0, Scaling{}});
        return Ok{};
    }

    MessageColumns& out_;
    BitReader& reader_;
    WalkContext& ctx_;
    ValueCodingState& state_;
    std::uint16_t subsets_;
    ItemBound max_items_;
    std::vector<VaryingColumn>& varying_;
    std::uint64_t column_ = 0;
    std::uint64_t items_ = 0;
    std::string scratch_;
};

// Writes the values of the varying columns, each column's subsets in a row
// (MessageColumns::var_*), from what the first pass recorded: no descriptor
// is walked again, and every field read has been checked to lie inside the
// data. Texts go into the arena column after column, subset after subset.
Result<void> write_varying_columns(const std::vector<VaryingColumn>& columns, ByteView data, MessageColumns& out,
                                   std::uint16_t subsets, const DecodeOptions& options) {
    BitReader reader(data);
    std::string scratch;
    std::uint8_t* __restrict missing_out = out.var_missing.data();
    double* __restrict value_out = out.var_value.data();
    std::uint64_t* __restrict raw_out = out.var_raw.data();
    std::size_t at = 0;
    auto text_id = [&]() {
        return clean_ia5_text(scratch, options.reader_rules) ? out.texts.add(scratch) : TextArena::kNone;
    };
    for (std::size_t j = 0; j < columns.size(); ++j) {
        if ((j & 4095) == 4095 && options.interrupt.poll != nullptr && options.interrupt.poll(options.interrupt.data))
            return BufrError::interrupted();
        const VaryingColumn& col = columns[j];
        if (col.type != VaryingColumn::Type::Numeric) {
            auto index_of = [&](unsigned s) {
                return options.text_index_values
                           ? static_cast<double>((col.text_column * subsets + s + 1) * 1000 + col.r0)
                           : kNaN;
            };
            reader.seek(col.start);
            std::uint64_t id = TextArena::kNone;
            for (unsigned s = 0; s < subsets; ++s, ++at) {
                if (s == 0 || col.type == VaryingColumn::Type::Texts) {
                    KORVANE_TRY_VOID(reader.read_bytes_into(col.width, scratch));
                    id = text_id();
                }
                missing_out[at] = id == TextArena::kNone ? 1 : 0;
                value_out[at] = index_of(s);
                raw_out[at] = id;
            }
            continue;
        }
        const std::uint16_t nbinc = col.width;
        const std::uint64_t r0 = col.r0;
        const std::uint64_t missing_increment = (std::uint64_t{1} << nbinc) - 1;
        std::uint64_t bit = col.start;
        constexpr std::int64_t kHalf = std::int64_t{1} << 62;
        if (!col.all_missing && !col.opaque && col.scaling.factor != 0.0 && col.reference >= -kHalf &&
            col.reference <= kHalf && r0 < static_cast<std::uint64_t>(kHalf) - missing_increment) {
            // The common case, in plain 64-bit arithmetic (as scaled_value
            // does it for such numbers).
            const auto base = static_cast<std::int64_t>(r0) + static_cast<std::int64_t>(col.reference);
            const bool missing_values = col.missing_values;
            auto fill = [&](auto scale) {
                for (unsigned s = 0; s < subsets; ++s, bit += nbinc, ++at) {
                    const std::uint64_t inc = reader.peek_at(bit, nbinc);
                    const bool missing = missing_values && inc == missing_increment;
                    missing_out[at] = missing ? 1 : 0;
                    value_out[at] = missing ? kNaN : scale(static_cast<double>(base + static_cast<std::int64_t>(inc)));
                    raw_out[at] = missing ? r0 : r0 + inc;
                }
            };
            // Elements of scale 0 (codes, counts, most integers) need no division.
            if (col.scaling.factor == 1.0)
                fill([](double v) { return v; });
            else if (col.scaling.multiply)
                fill([factor = col.scaling.factor](double v) { return v * factor; });
            else
                fill([divisor = col.scaling.factor](double v) { return v / divisor; });
        } else {
            for (unsigned s = 0; s < subsets; ++s, bit += nbinc, ++at) {
                const std::uint64_t inc = reader.peek_at(bit, nbinc);
                const bool missing = col.all_missing || (col.missing_values && inc == missing_increment);
                missing_out[at] = missing || col.opaque ? 1 : 0;
                value_out[at] = missing || col.opaque ? kNaN : scaled_value(r0 + inc, col.reference, col.scaling);
                raw_out[at] = missing ? r0 : r0 + inc;
            }
        }
    }
    return Ok{};
}

Result<void> decode_uncompressed(const BufrMessage& message, const TableSet& tables, ByteView data,
                                 MessageColumns& out, const DecodeOptions& options, ItemBound max) {
    BitReader reader(data);
    ElementCache elements(tables, options.reader_rules);
    WalkContext ctx(tables, elements, reader, message.number_of_subsets, options.reader_rules);
    ctx.interrupt = options.interrupt;
    ValueCodingState state;
    SubsetLeaves leaves(out, reader, state, max, options);
    Structure structure(options.structure ? &out.groups : nullptr, max.max);
    Walker<SubsetLeaves> walker(ctx, state, leaves, structure);
    const std::span<const std::uint32_t> descriptors(message.unexpanded_descriptors);
    out.subset_bounds.push_back(0);
    for (std::uint32_t s = 0; s < message.number_of_subsets; ++s) {
        state.reset();  // a fresh state per subset; the text numbering carries on
        KORVANE_TRY_VOID(walker.walk(descriptors, 0, s));
        out.subset_bounds.push_back(out.code.size());
    }
    return Ok{};
}

// Rows [lo, hi) of a column array start as copies of its first row: row lo
// is copied from row 0, then the rows already made are copied on after them,
// doubling each time, so that an array takes a few large copies.
template <typename T>
void copy_first_row(T* rows, std::size_t columns, std::size_t lo, std::size_t hi) {
    if (lo >= hi || columns == 0) return;
    if (lo != 0) std::memcpy(rows + lo * columns, rows, columns * sizeof(T));
    for (std::size_t done = 1; lo + done < hi;) {
        const std::size_t n = std::min(done, hi - lo - done);
        std::memcpy(rows + (lo + done) * columns, rows + lo * columns, n * columns * sizeof(T));
        done += n;
    }
}

// Lays out one array of compressed data for every item: the first row into
// every row, then each varying column into its place in every row. Rows are
// laid out a block at a time, some 64 kilobytes, so that the varying values
// land in rows still in cache.
template <typename T, typename V>
void expand_array(PoolVector<T>& array, V* varying, const MessageColumns& c) {
    const std::size_t width = c.row_width;
    const std::size_t rows = c.rows;
    array.resize(width * rows);
    if (rows == 0) return;
    const std::size_t block = std::max<std::size_t>(1, (std::size_t{1} << 16) / (width * sizeof(T)));
    T* __restrict out = array.data();
    for (std::size_t lo = 0; lo < rows; lo += block) {
        const std::size_t hi = std::min(rows, lo + block);
        copy_first_row(out, width, lo, hi);
        if (varying == nullptr) continue;
        for (std::size_t j = 0; j < c.var_column.size(); ++j) {
            const T* __restrict in = varying->data() + j * rows;
            T* at = out + lo * width + c.var_column[j];
            for (std::size_t s = lo; s < hi; ++s, at += width) *at = in[s];
        }
    }
    // The varying values are in place: their own memory goes back.
    if (varying != nullptr) PoolVector<T>().swap(*varying);
}

Result<void> decode_compressed(const BufrMessage& message, const TableSet& tables, ByteView data,
                               MessageColumns& out, const DecodeOptions& options, ItemBound max) {
    const std::uint16_t subsets = message.number_of_subsets;
    const std::span<const std::uint32_t> descriptors(message.unexpanded_descriptors);
    std::uint64_t columns = 0;
    std::vector<VaryingColumn> varying;
    std::vector<GroupOccurrence> column_groups;
    // Room for the first row of a typical message, which would otherwise be
    // grown a step at a time.
    constexpr std::size_t kTypicalColumns = 512;
    out.code.reserve(kTypicalColumns);
    out.kind.reserve(kTypicalColumns);
    out.missing.reserve(kTypicalColumns);
    out.value.reserve(kTypicalColumns);
    out.raw.reserve(kTypicalColumns);
    out.var_column.reserve(kTypicalColumns / 4);
    varying.reserve(kTypicalColumns / 4);
    {
        ElementCache elements(tables, options.reader_rules);
        BitReader reader(data);
        WalkContext ctx(tables, elements, reader, subsets, options.reader_rules);
        ctx.interrupt = options.interrupt;
        ValueCodingState state;
        ColumnLeaves leaves(out, reader, ctx, state, subsets, max, varying);
        Structure structure(options.structure ? &column_groups : nullptr, max.max, subsets);
        Walker<ColumnLeaves> walker(ctx, state, leaves, structure);
        KORVANE_TRY_VOID(walker.walk(descriptors, 0, 0));
        columns = leaves.columns();
    }
    // The varying columns are written whole, each one's values in a row, as
    // fast as memory takes them; laying the arrays out item by item waits
    // until they are asked for (MessageColumns::expand).
    const std::size_t values = varying.size() * subsets;
    out.var_missing.resize(values);
    out.var_value.resize(values);
    out.var_raw.resize(values);
    if (columns != 0) out.keep_as_rows(static_cast<std::size_t>(columns), subsets);
    KORVANE_TRY_VOID(write_varying_columns(varying, data, out, subsets, options));
    out.subset_bounds.resize(std::size_t{subsets} + 1);
    for (std::size_t s = 0; s <= subsets; ++s) out.subset_bounds[s] = s * columns;
    // Every subset has the same columns, so the same group occurrences.
    const auto g = static_cast<std::int64_t>(column_groups.size());
    out.groups.reserve(column_groups.size() * subsets);
    for (std::uint32_t s = 0; s < subsets; ++s) {
        const std::uint64_t base = std::uint64_t{s} * columns;
        for (const GroupOccurrence& o : column_groups)
            out.groups.push_back(GroupOccurrence{base + o.begin, base + o.end,
                                                 o.parent < 0 ? -1 : std::int64_t{s} * g + o.parent, o.node, s});
    }
    return Ok{};
}

}  // namespace

BufrError Structure::limit_exceeded() const {
    return BufrError::limit_exceeded("decoding would record more than " + std::to_string(limit_) +
                                     " occurrences of replicated groups: groups are repeated without reading data");
}

void MessageColumns::clear() noexcept {
    row_width = 0;
    rows = 0;
    pending_ = 0;
    code.clear();
    kind.clear();
    missing.clear();
    value.clear();
    raw.clear();
    var_column.clear();
    var_missing.clear();
    var_value.clear();
    var_raw.clear();
    texts.clear();
    subset_bounds.clear();
    groups.clear();
    references.clear();
}

void MessageColumns::expand(Column c) {
    const auto bit = static_cast<std::uint8_t>(1u << static_cast<unsigned>(c));
    if ((pending_ & bit) == 0) return;
    switch (c) {
    case Column::Code: expand_array(code, static_cast<PoolVector<std::uint32_t>*>(nullptr), *this); break;
    case Column::Kind: expand_array(kind, static_cast<PoolVector<std::uint8_t>*>(nullptr), *this); break;
    case Column::Missing: expand_array(missing, &var_missing, *this); break;
    case Column::Value: expand_array(value, &var_value, *this); break;
    case Column::Raw: expand_array(raw, &var_raw, *this); break;
    }
    pending_ = static_cast<std::uint8_t>(pending_ & ~bit);
    if (pending_ == 0) {
        row_width = 0;  // every array is laid out: sizes are the arrays' own
        PoolVector<std::uint64_t>().swap(var_column);
    }
}

void MessageColumns::expand_rows() {
    for (Column c : {Column::Code, Column::Kind, Column::Missing, Column::Value, Column::Raw}) expand(c);
}

DecodedValue MessageColumns::item(std::size_t i) const noexcept {
    DecodedValue v;
    v.descriptor = code[i];
    v.kind = static_cast<ValueKind>(kind[i]);
    v.value = value[i];
    v.raw_bits = raw[i];
    if (v.is_text()) {
        v.has_value = true;  // the text index
        if (raw[i] != TextArena::kNone) v.text = texts.get(raw[i]);
    } else {
        v.has_value = missing[i] == 0;
    }
    return v;
}

std::uint64_t max_items(const BufrMessage& message, std::uint64_t data_bits) noexcept {
    if (message.compressed_data) return kItemAllowance + kItemsPerCompressedBit * data_bits;
    return kItemAllowance + kItemsPerUncompressedBit4 * data_bits / 4;
}

Result<void> decode_columns(const BufrMessage& message, const TableSet& tables, ByteView data, MessageColumns& out,
                            const DecodeOptions& options) {
    out.clear();
    ItemBound max{max_items(message, std::uint64_t{data.size()} * 8), false};
    if (options.max_items != 0 && options.max_items < max.max) max = ItemBound{options.max_items, true};
    if (message.compressed_data) return decode_compressed(message, tables, data, out, options, max);
    return decode_uncompressed(message, tables, data, out, options, max);
}

}  // namespace korvane
