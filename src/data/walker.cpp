// The data walker: one descriptor walk for uncompressed and compressed data.
// Sequences, replication, operators and bitmaps are handled here once; only
// the leaf reads differ. Uncompressed data hold one subset after another, so
// the walk runs once per subset and each leaf reads one value. Compressed data
// hold, for every element, a reference R0, an increment width NBINC and one
// increment per subset, so the walk runs once and each leaf reads a column.
//
// Compressed columns are written straight into subset order: a first pass
// walks the descriptors, reading only what steers the walk (replication
// factors, bitmap indicators, new reference values) and checking that every
// column fits the data, which gives the number of columns; the second pass
// reads every column into its place, item (subset s, column c) at s * columns + c.
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
#include "descriptor/descriptor.hpp"
#include "descriptor/replication.hpp"

namespace korvane {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::uint16_t kIncrementWidthBits = 6;

BufrError items_exceeded(std::uint64_t max, std::uint64_t bits) {
    return BufrError::table("decoding would give more than " + std::to_string(max) + " items for " +
                            std::to_string(bits) + " bits of data: descriptors are repeated without reading data");
}

Result<std::uint64_t> read_bits(BitReader& reader, std::uint16_t width) {
    std::uint64_t v = 0;
    if (!reader.try_read(width, v)) return reader.read_error(width);
    return v;
}

// The occurrences of replicated groups, when the caller asks for them.
class Structure {
public:
    Structure(std::vector<GroupOccurrence>* out) : out_(out) {}

    void begin(const std::uint32_t* replication, std::uint64_t position, std::uint32_t subset) {
        if (out_ == nullptr) return;
        const auto node = nodes_.try_emplace(replication, static_cast<std::uint32_t>(nodes_.size())).first->second;
        const std::int64_t parent = open_.empty() ? -1 : open_.back();
        open_.push_back(static_cast<std::int64_t>(out_->size()));
        out_->push_back(GroupOccurrence{position, position, parent, node, subset});
    }
    void end(std::uint64_t position) {
        if (out_ == nullptr) return;
        (*out_)[static_cast<std::size_t>(open_.back())].end = position;
        open_.pop_back();
    }

private:
    std::vector<GroupOccurrence>* out_;
    std::vector<std::int64_t> open_;
    std::unordered_map<const std::uint32_t*, std::uint32_t> nodes_;
};

// The walk itself, over the leaf reader `Leaves`, which provides:
//   element(info, diff, need_value)  an element (or a bitmap target); returns
//                                    its value when need_value (first subset)
//   factor(info)                     a delayed replication factor -> count
//   associated(width), placeholder(code), text(code, y), new_reference(width)
//   opaque(code, width)              an element unknown to the tables, of a
//                                    width 2 06 YYY gave: its bits only
//   position()                       items (or columns) written so far
template <class Leaves>
class Walker {
public:
    Walker(WalkContext& ctx, ValueCodingState& state, Leaves& leaves, Structure& structure)
        : ctx_(ctx), state_(state), leaves_(leaves), structure_(structure) {}

    Result<void> walk(std::span<const std::uint32_t> descriptors, int depth, std::uint32_t subset) {
        if (depth > kMaxDescriptorDepth) return BufrError::table(Leaves::kDepthError);
        ValueCodingState& state = state_;
        const std::size_t n = descriptors.size();
        std::size_t i = 0;
        while (i < n) {
            KORVANE_TRY_VOID(ctx_.step());
            const std::uint32_t code = descriptors[i];
            const Fxy d = split_code(code);
            switch (d.f) {
            case 0: {
                if (state.new_reference_width != 0) {
                    // Inside 2 03 YYY .. 2 03 255 an element descriptor defines
                    // the element's new reference value; it is not a data item.
                    KORVANE_TRY(const std::int64_t ref, leaves_.new_reference(state.new_reference_width));
                    state.new_references.insert_or_assign(code, ref);
                    ++i;
                    break;
                }
                if (d.x != 31 && state.associated_width != 0)
                    KORVANE_TRY_VOID(leaves_.associated(state.associated_width));
                const ElementInfo* found = ctx_.elements.find(code);
                if (found == nullptr) {
                    // 2 06 YYY announces the width of a local element so that a
                    // decoder without its table can step over it: its bits are
                    // kept, with no name and no value.
                    if (!state.local_width) return BufrError::element_not_found(code);
                    KORVANE_TRY_VOID(leaves_.opaque(code, *state.local_width));
                    state.local_width.reset();
                    ++i;
                    break;
                }
                const ElementInfo info = *found;
                const bool indicator = code == kDataPresentIndicator;
                KORVANE_TRY(const std::optional<double> value, leaves_.element(info, nullptr, indicator));
                state.local_width.reset();
                if (indicator && takes_bitmap_indicator(state)) {
                    // Compressed data: the bitmap is shaped by the first subset.
                    if (value) state.bitmap.push_back(bitmap_byte(*value));
                } else {
                    state.element_history.push_back(info.def);
                }
                ++i;
                break;
            }
            case 1: {
                KORVANE_TRY(const Replication r, replication_at(descriptors, i));
                const std::uint32_t* replication = &descriptors[i];
                const auto group = descriptors.subspan(r.group_begin, r.group_size);
                if (!r.delayed) {
                    KORVANE_TRY_VOID(repeat(replication, group, d.y, depth, subset));
                    i = r.next;
                    break;
                }
                const std::uint32_t factor_code = descriptors[i + 1];
                // Associated fields precede every element outside class 31.
                if (!is_class31(factor_code) && state.associated_width != 0)
                    KORVANE_TRY_VOID(leaves_.associated(state.associated_width));
                const ElementInfo* found = ctx_.elements.find(factor_code);
                if (found == nullptr) return BufrError::element_not_found(factor_code);
                const ElementInfo info = *found;
                KORVANE_TRY(const std::uint64_t count, leaves_.factor(info));
                state.element_history.push_back(info.def);
                KORVANE_TRY_VOID(repeat(replication, group, count, depth, subset));
                i = r.next;
                break;
            }
            case 2: {
                switch (operator_step(d.x, d.y, state)) {
                case OperatorAction::None:
                    break;
                case OperatorAction::Placeholder:
                    KORVANE_TRY_VOID(leaves_.placeholder(code));
                    break;
                case OperatorAction::Marker: {
                    KORVANE_TRY(const ElementDefinition* target, state.next_bitmap_element());
                    if (target == nullptr) break;
                    const ElementInfo* found = ctx_.elements.find(target->code);
                    if (found == nullptr) return BufrError::element_not_found(target->code);
                    const ElementInfo info = *found;
                    // 2 25 255 reads a difference: one bit wider, reference -2^width.
                    const DifferenceOverride diff = difference_override(*target);
                    KORVANE_TRY_VOID(leaves_.element(info, d.x == 25 ? &diff : nullptr, false));
                    break;
                }
                case OperatorAction::Text:
                    KORVANE_TRY_VOID(leaves_.text(code, d.y));
                    break;
                }
                ++i;
                break;
            }
            case 3: {
                const SequenceDefinition* seq = ctx_.tables.find_sequence(code);
                if (seq == nullptr) return BufrError::sequence_not_found(code);
                KORVANE_TRY_VOID(walk(seq->members, depth + 1, subset));
                ++i;
                break;
            }
            default:
                return BufrError::table("invalid descriptor " + padded_code(code));
            }
        }
        return Ok{};
    }

private:
    Result<void> repeat(const std::uint32_t* replication, std::span<const std::uint32_t> group, std::uint64_t count,
                        int depth, std::uint32_t subset) {
        for (std::uint64_t k = 0; k < count; ++k) {
            structure_.begin(replication, leaves_.position(), subset);
            KORVANE_TRY_VOID(walk(group, depth + 1, subset));
            structure_.end(leaves_.position());
        }
        return Ok{};
    }

    WalkContext& ctx_;
    ValueCodingState& state_;
    Leaves& leaves_;
    Structure& structure_;
};

// The width of a text element under the state (2 08 YYY wins).
std::uint16_t text_width(const ElementInfo& info, const ValueCodingState& state, const DifferenceOverride* diff) {
    if (state.character_width) return *state.character_width;
    return diff != nullptr ? diff->width : info.def->width;
}

// The coding of a numeric element under the state, with its divisor.
Result<NumericCoding> coding_of(const ElementInfo& info, const ValueCodingState& state,
                                const DifferenceOverride* diff, double& divisor) {
    const ElementDefinition& def = *info.def;
    if (diff == nullptr && (state.table_b_coding() || (info.code_or_flag && !state.local_width))) {
        // The common case: the element as Table B defines it.
        divisor = info.divisor;
        return NumericCoding{def.width, def.scale, def.reference};
    }
    KORVANE_TRY(const NumericCoding c, numeric_coding(info, state, diff));
    divisor = power_of_ten(c.scale);
    return c;
}

// ---- uncompressed data: one value per leaf -----------------------------------------

class SubsetLeaves {
public:
    static constexpr const char* kDepthError = "descriptor decode exceeded recursion depth";

    SubsetLeaves(MessageColumns& out, BitReader& reader, ValueCodingState& state, std::uint64_t max_items,
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
        double divisor = 1.0;
        KORVANE_TRY(const NumericCoding c, coding_of(info, state_, diff, divisor));
        std::uint64_t bits = 0;
        if (!reader_.try_read(c.width, bits)) return reader_.read_error(c.width);
        if (c.width <= 63 && !info.class31 && bits == (std::uint64_t{1} << c.width) - 1) {
            KORVANE_TRY_VOID(push(def.code, ValueKind::Numeric, true, kNaN, bits));
            return std::optional<double>();
        }
        const double value = scaled_value(bits, c.reference, divisor);
        KORVANE_TRY_VOID(push(def.code, ValueKind::Numeric, false, value, bits));
        return std::optional<double>(value);
    }

    Result<std::uint64_t> factor(const ElementInfo& info) {
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

    Result<std::int64_t> new_reference(std::uint8_t width) {
        KORVANE_TRY(const std::uint64_t bits, read_bits(reader_, width));
        return signed_reference(bits, width);
    }

private:
    Result<void> push(std::uint32_t code, ValueKind kind, bool missing, double value, std::uint64_t raw) {
        const std::size_t n = out_.code.size();
        if (n == out_.code.capacity()) {
            if (n >= max_items_) return items_exceeded(max_items_, reader_.bit_len());
            // Grow geometrically, but never past the bound.
            std::size_t want = n < 4096 ? 4096 : 2 * n;
            if (want > max_items_) want = static_cast<std::size_t>(max_items_);
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
        const bool present = clean_ia5_text(scratch_);
        const std::uint64_t id = present ? out_.texts.add(scratch_) : TextArena::kNone;
        return push(code, kind, !present, options_.text_index_values ? index : kNaN, id);
    }

    MessageColumns& out_;
    BitReader& reader_;
    ValueCodingState& state_;
    std::uint64_t max_items_;
    const DecodeOptions& options_;
    std::string scratch_;
};

// ---- compressed data: one column per leaf ------------------------------------------

// Write = false: the first pass, which reads what steers the walk, checks that
// every column is sound and fits the data, and counts the columns.
// Write = true: a later pass, which fills the items of subsets [lo, hi) of
// every column. Writing a block of subsets at a time keeps the block's rows
// in cache; writing whole columns would touch every row of the message for
// every column.
template <bool Write>
class ColumnLeaves {
public:
    static constexpr const char* kDepthError = "compressed descriptor decode exceeded recursion depth";

    ColumnLeaves(MessageColumns& out, BitReader& reader, WalkContext& ctx, ValueCodingState& state,
                 std::uint16_t subsets, std::uint64_t columns, std::uint64_t max_items,
                 const DecodeOptions& options, unsigned lo = 0, unsigned hi = 0,
                 std::unordered_map<std::uint64_t, std::uint64_t>* shared_texts = nullptr)
        : out_(out), reader_(reader), ctx_(ctx), state_(state), subsets_(subsets), stride_(columns),
          max_items_(max_items), options_(options), lo_(lo), hi_(hi), shared_texts_(shared_texts) {}

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
        double divisor = 1.0;
        KORVANE_TRY(const NumericCoding c, coding_of(info, state_, diff, divisor));
        std::optional<double> first;
        if (need_value && subsets_ == 0) first = 0.0;
        KORVANE_TRY_VOID(numeric_column(def.code, ValueKind::Numeric, c.width, c.reference, divisor,
                                        !info.class31, need_value,
                                        [&](unsigned s, bool missing, double v) -> Result<void> {
                                            if (s == 0 && !missing) first = v;
                                            return Ok{};
                                        }));
        return first;
    }

    Result<std::uint64_t> factor(const ElementInfo& info) {
        if (info.character) {
            // A text read as a factor counts by its text index, which differs
            // between subsets unless there is only one.
            const std::uint64_t c = state_.text_column_counter;
            KORVANE_TRY_VOID(text_column(info.def->code, ValueKind::Character, text_width(info, state_, nullptr)));
            if (subsets_ == 0) return std::uint64_t{0};
            if (subsets_ > 1) return varying_factors();
            return replication_count(static_cast<double>((c + 1) * 1000 + text_width(info, state_, nullptr) / 8u));
        }
        double divisor = 1.0;
        KORVANE_TRY(const NumericCoding c, coding_of(info, state_, nullptr, divisor));
        std::optional<double> first;
        bool varying = false;
        KORVANE_TRY_VOID(numeric_column(info.def->code, ValueKind::Numeric, c.width, c.reference, divisor,
                                        !info.class31, true,
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
        return numeric_column(kAssociatedFieldCode, ValueKind::AssociatedField, width, 0, 1.0, false, false,
                              nullptr);
    }

    Result<void> opaque(std::uint32_t code, std::uint16_t width) {
        return numeric_column(code, ValueKind::Numeric, width, 0, 1.0, false, false, nullptr, true);
    }

    Result<void> placeholder(std::uint32_t code) {
        // The same in every subset: the first row's entry is copied to the others.
        if constexpr (!Write) KORVANE_TRY_VOID(count_column());
        next_column(code, ValueKind::Operator, false, 0.0, 0);
        return Ok{};
    }

    Result<void> text(std::uint32_t code, std::uint8_t y) {
        return text_column(code, ValueKind::InsertedText, static_cast<std::uint16_t>(8u * y));
    }

    // A new reference value (2 03 YYY) must be the same in every subset, so
    // every increment must be zero (checked by the first pass).
    Result<std::int64_t> new_reference(std::uint8_t width) {
        KORVANE_TRY(const std::uint64_t r0, read_bits(reader_, width));
        KORVANE_TRY(const std::uint64_t nbinc, read_bits(reader_, kIncrementWidthBits));
        const auto w = static_cast<std::uint16_t>(nbinc);
        if constexpr (Write) {
            reader_.seek(reader_.position() + std::uint64_t{subsets_} * w);
        } else {
            for (unsigned s = 0; s < subsets_; ++s) {
                KORVANE_TRY(const std::uint64_t inc, read_bits(reader_, w));
                if (inc != 0) return BufrError::table("changed reference values differ between subsets");
            }
        }
        return signed_reference(r0, width);
    }

private:
    static BufrError varying_factors() {
        return BufrError::table("compressed delayed replication with varying factors is not implemented");
    }

    // Where later passes write: the columns, sized before the pass. The
    // pointers are copied into locals by the loops that write, so that byte
    // stores (which may alias anything) do not force them to be reloaded.
    struct Sink {
        std::uint32_t* __restrict code;
        std::uint8_t* __restrict kind;
        std::uint8_t* __restrict missing;
        double* __restrict value;
        std::uint64_t* __restrict raw;
        std::uint64_t stride;
        std::uint64_t column;

        // Codes and kinds are the same in every subset: they are laid out
        // from the first pass's record of the columns, not written here.
        void put(unsigned s, std::uint32_t, ValueKind, bool m, double v, std::uint64_t r) const noexcept {
            const std::size_t at = static_cast<std::size_t>(s * stride + column);
            missing[at] = m ? 1 : 0;
            value[at] = v;
            raw[at] = r;
        }
    };
    // The first pass writes the first row of the message: every column's
    // code and kind, and the missing flag, value and raw bits of a column that
    // is the same in every subset (NBINC 0, or an operator's placeholder).
    // Later passes copy that row into each row of their block before they
    // write the columns that vary: whole rows copy far faster than columns
    // are written one strided item at a time.
    void next_column(std::uint32_t code, ValueKind kind, bool missing = false, double value = 0.0,
                     std::uint64_t raw = 0) {
        if constexpr (!Write) {
            out_.code.push_back(code);
            out_.kind.push_back(static_cast<std::uint8_t>(kind));
            out_.missing.push_back(missing ? 1 : 0);
            out_.value.push_back(value);
            out_.raw.push_back(raw);
        }
        ++column_;
    }

    Sink sink() const noexcept {
        return Sink{out_.code.data(), out_.kind.data(), out_.missing.data(), out_.value.data(), out_.raw.data(),
                    stride_, column_};
    }
    void put(unsigned s, std::uint32_t code, ValueKind kind, bool missing, double value, std::uint64_t raw) {
        sink().put(s, code, kind, missing, value, raw);
    }

    // Counts one column of `subsets` items against both bounds.
    Result<void> count_column() {
        KORVANE_TRY_VOID(ctx_.add_values(subsets_));
        items_ += subsets_;
        if (items_ > max_items_) return items_exceeded(max_items_, reader_.bit_len());
        return Ok{};
    }

    // Whether the first pass may step over `count` fields of `width` bits:
    // they must lie inside the data (otherwise they are read one by one, so
    // that the failure names the field that runs out).
    bool can_skip(std::uint64_t count, std::uint64_t width) const noexcept {
        return width == 0 || count <= reader_.bits_left() / width;
    }

    // One numeric column: R0 of `width` bits, NBINC, then NBINC bits per
    // subset. `visit(s, missing, value)` sees every subset's value in the first
    // pass when `need_values` is set, and the first subset's in later passes.
    template <class Visit>
    // An `opaque` column keeps only its bits: every item is without value.
    Result<void> numeric_column(std::uint32_t code, ValueKind kind, std::uint16_t width, Int128 reference,
                                double divisor, bool missing_values, bool need_values, Visit&& visit,
                                bool opaque = false) {
        constexpr bool kVisit = !std::is_same_v<std::decay_t<Visit>, std::nullptr_t>;
        KORVANE_TRY(const std::uint64_t r0, read_bits(reader_, width));
        KORVANE_TRY(const std::uint64_t nbinc_bits, read_bits(reader_, kIncrementWidthBits));
        const auto nbinc = static_cast<std::uint16_t>(nbinc_bits);
        const bool all_missing = missing_values && width <= 63 && r0 == (std::uint64_t{1} << width) - 1;
        const std::uint64_t missing_increment = (std::uint64_t{1} << nbinc) - 1;  // nbinc <= 63
        // The value of one increment; the first pass has checked that it fits.
        auto value_of = [&](std::uint64_t inc, bool& missing) -> double {
            missing = all_missing || (missing_values && inc == missing_increment);
            return missing || opaque ? kNaN : scaled_value(r0 + inc, reference, divisor);
        };
        if (nbinc == 0) {
            // Every subset holds R0.
            const bool missing = all_missing || opaque;
            const double value = missing ? kNaN : scaled_value(r0, reference, divisor);
            if constexpr (kVisit) {
                if (need_values) {
                    const unsigned n = Write ? (subsets_ != 0 ? 1u : 0u) : subsets_;
                    for (unsigned s = 0; s < n; ++s) KORVANE_TRY_VOID(visit(s, missing, value));
                }
            }
            if constexpr (!Write) KORVANE_TRY_VOID(count_column());
            next_column(code, kind, missing, value, r0);  // the first row, copied to the others
            return Ok{};
        }
        const std::uint64_t start = reader_.position();
        const std::uint64_t end = start + std::uint64_t{subsets_} * nbinc;
        if constexpr (Write) {
            if constexpr (kVisit) {
                if (need_values && subsets_ != 0) {
                    std::uint64_t inc = 0;
                    (void)reader_.try_read(nbinc, inc);
                    bool missing = false;
                    const double value = value_of(inc, missing);
                    KORVANE_TRY_VOID(visit(0, missing, value));
                }
            }
            const Sink out = sink();
            std::uint64_t bit = start + std::uint64_t{lo_} * nbinc;
            constexpr std::int64_t kHalf = std::int64_t{1} << 62;
            if (!all_missing && !opaque && divisor != 0.0 && reference >= -kHalf && reference <= kHalf &&
                r0 < static_cast<std::uint64_t>(kHalf) - missing_increment) {
                // The common case, in plain 64-bit arithmetic (as scaled_value
                // does it for such numbers): the first pass has checked that
                // every increment lies inside the data.
                const auto ref = static_cast<std::int64_t>(reference);
                const auto base = static_cast<std::int64_t>(r0) + ref;
                std::size_t at = static_cast<std::size_t>(lo_ * out.stride + out.column);
                auto fill = [&](auto scale) {
                    for (unsigned s = lo_; s < hi_; ++s, bit += nbinc, at += out.stride) {
                        const std::uint64_t inc = reader_.peek_at(bit, nbinc);
                        const bool missing = missing_values && inc == missing_increment;
                        out.missing[at] = missing ? 1 : 0;
                        out.value[at] = missing ? kNaN : scale(static_cast<double>(base + static_cast<std::int64_t>(inc)));
                        out.raw[at] = missing ? r0 : r0 + inc;
                    }
                };
                // Elements of scale 0 (codes, counts, most integers) need no
                // division, which would take most of the time of this loop.
                if (divisor == 1.0)
                    fill([](double v) { return v; });
                else
                    fill([divisor](double v) { return v / divisor; });
            } else {
                for (unsigned s = lo_; s < hi_; ++s, bit += nbinc) {
                    const std::uint64_t inc = reader_.peek_at(bit, nbinc);
                    bool missing = false;
                    const double value = value_of(inc, missing);
                    out.put(s, code, kind, missing || opaque, value, missing ? r0 : r0 + inc);
                }
            }
            reader_.seek(end);
        } else {
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
                            bool is_missing = false;
                            const double value = value_of(inc, is_missing);
                            KORVANE_TRY_VOID(visit(s, is_missing, value));
                        }
                    }
                }
            }
            KORVANE_TRY_VOID(count_column());
        }
        next_column(code, kind);
        return Ok{};
    }

    // The arena id of a text read into scratch_.
    std::uint64_t add_text() {
        return clean_ia5_text(scratch_) ? out_.texts.add(scratch_) : TextArena::kNone;
    }

    // One text column of `width` bits: R0, NBINC, then NBINC bytes per
    // subset. Text indices continue across the columns: column c gives
    // subset j the index (c * N + j + 1) * 1000 + bytes.
    Result<void> text_column(std::uint32_t code, ValueKind kind, std::uint16_t width) {
        KORVANE_TRY_VOID(reader_.read_bytes_into(width, scratch_));
        KORVANE_TRY(const std::uint64_t nbinc, read_bits(reader_, kIncrementWidthBits));
        const std::uint64_t c = state_.text_column_counter++;
        const std::uint64_t size_part = width / 8u;
        auto index_of = [&](unsigned s) {
            return options_.text_index_values ? static_cast<double>((c * subsets_ + s + 1) * 1000 + size_part) : kNaN;
        };
        if (nbinc == 0) {
            if constexpr (Write) {
                // One text for every subset, stored once for the message.
                auto [it, fresh] = shared_texts_->try_emplace(column_, TextArena::kNone);
                if (fresh) it->second = add_text();
                const std::uint64_t id = it->second;
                for (unsigned s = lo_; s < hi_; ++s) put(s, code, kind, id == TextArena::kNone, index_of(s), id);
            } else {
                KORVANE_TRY_VOID(count_column());
            }
            next_column(code, kind);
            return Ok{};
        }
        const auto bytes_width = static_cast<std::uint16_t>(8 * nbinc);
        const std::uint64_t start = reader_.position();
        const std::uint64_t end = start + std::uint64_t{subsets_} * bytes_width;
        if constexpr (Write) {
            reader_.seek(start + std::uint64_t{lo_} * bytes_width);
            for (unsigned s = lo_; s < hi_; ++s) {
                KORVANE_TRY_VOID(reader_.read_bytes_into(bytes_width, scratch_));
                const std::uint64_t id = add_text();
                put(s, code, kind, id == TextArena::kNone, index_of(s), id);
            }
            reader_.seek(end);
        } else {
            if (can_skip(subsets_, bytes_width)) {
                reader_.seek(end);
            } else {
                for (unsigned s = 0; s < subsets_; ++s) KORVANE_TRY_VOID(reader_.read_bytes_into(bytes_width, scratch_));
            }
            KORVANE_TRY_VOID(count_column());
        }
        next_column(code, kind);
        return Ok{};
    }

    MessageColumns& out_;
    BitReader& reader_;
    WalkContext& ctx_;
    ValueCodingState& state_;
    std::uint16_t subsets_;
    std::uint64_t stride_;  // the number of columns (later passes)
    std::uint64_t max_items_;
    const DecodeOptions& options_;
    unsigned lo_;
    unsigned hi_;
    // Arena ids of the texts of columns whose increments are all zero, by column.
    std::unordered_map<std::uint64_t, std::uint64_t>* shared_texts_;
    std::uint64_t column_ = 0;
    std::uint64_t items_ = 0;
    std::string scratch_;
};

Result<void> decode_uncompressed(const BufrMessage& message, const TableSet& tables, ByteView data,
                                 MessageColumns& out, const DecodeOptions& options, std::uint64_t max) {
    BitReader reader(data);
    ElementCache elements(tables);
    WalkContext ctx(tables, elements, reader, message.number_of_subsets);
    ctx.interrupt = options.interrupt;
    ValueCodingState state;
    SubsetLeaves leaves(out, reader, state, max, options);
    Structure structure(options.structure ? &out.groups : nullptr);
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
// doubling each time, so that a block takes a few large copies.
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

// Codes and kinds stay one row until asked for (MessageColumns::expand_rows).
void copy_first_row(MessageColumns& out, std::uint64_t columns, unsigned lo, unsigned hi) {
    const auto n = static_cast<std::size_t>(columns);
    copy_first_row(out.missing.data(), n, lo, hi);
    copy_first_row(out.value.data(), n, lo, hi);
    copy_first_row(out.raw.data(), n, lo, hi);
}

Result<void> decode_compressed(const BufrMessage& message, const TableSet& tables, ByteView data,
                               MessageColumns& out, const DecodeOptions& options, std::uint64_t max) {
    const std::uint16_t subsets = message.number_of_subsets;
    const std::span<const std::uint32_t> descriptors(message.unexpanded_descriptors);
    std::uint64_t columns = 0;
    ElementCache elements(tables);
    {
        BitReader reader(data);
        WalkContext ctx(tables, elements, reader, subsets);
        ctx.interrupt = options.interrupt;
        ValueCodingState state;
        ColumnLeaves<false> leaves(out, reader, ctx, state, subsets, 0, max, options);
        Structure structure(nullptr);
        Walker<ColumnLeaves<false>> walker(ctx, state, leaves, structure);
        KORVANE_TRY_VOID(walker.walk(descriptors, 0, 0));
        columns = leaves.columns();
    }
    const auto items = static_cast<std::size_t>(columns * subsets);
    out.missing.resize(items);
    out.value.resize(items);
    out.raw.resize(items);
    out.row_width = static_cast<std::size_t>(columns);
    std::vector<GroupOccurrence> column_groups;
    std::unordered_map<std::uint64_t, std::uint64_t> shared_texts;
    // Blocks of about kBlockItems items, some 1.4 megabytes of rows, which
    // stay in cache. Each block walks the descriptors again, so smaller blocks
    // cost more than they gain: on the corpus 16,384 items took a quarter
    // more time than 65,536, and larger blocks no less.
    constexpr std::uint64_t kBlockItems = 65536;
    const unsigned block = static_cast<unsigned>(columns >= kBlockItems ? 1 : kBlockItems / (columns + 1) + 1);
    for (unsigned lo = 0; lo < subsets; lo += block) {
        const unsigned hi = subsets - lo > block ? lo + block : subsets;
        copy_first_row(out, columns, lo, hi);
        BitReader reader(data);
        WalkContext ctx(tables, elements, reader, subsets);
        ctx.interrupt = options.interrupt;
        ValueCodingState state;
        ColumnLeaves<true> leaves(out, reader, ctx, state, subsets, columns, max, options, lo, hi, &shared_texts);
        Structure structure(options.structure && lo == 0 ? &column_groups : nullptr);
        Walker<ColumnLeaves<true>> walker(ctx, state, leaves, structure);
        KORVANE_TRY_VOID(walker.walk(descriptors, 0, 0));
    }
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

void MessageColumns::clear() noexcept {
    row_width = 0;
    code.clear();
    kind.clear();
    missing.clear();
    value.clear();
    raw.clear();
    texts.clear();
    subset_bounds.clear();
    groups.clear();
}

void MessageColumns::expand_rows() {
    if (row_width == 0) return;
    const std::size_t width = std::exchange(row_width, 0);
    const std::size_t n = value.size();
    code.resize(n);
    kind.resize(n);
    if (n == 0) return;
    copy_first_row(code.data(), width, 0, n / width);
    copy_first_row(kind.data(), width, 0, n / width);
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
    const std::uint64_t max = max_items(message, std::uint64_t{data.size()} * 8);
    if (message.compressed_data) return decode_compressed(message, tables, data, out, options, max);
    return decode_uncompressed(message, tables, data, out, options, max);
}

}  // namespace korvane
