// The descriptor walk that decoding and encoding share: sequences,
// replication, operators and bitmaps are handled here once, and every data
// item is handed to a set of leaf operations (read a value, or write one).
#pragma once

#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

#include "data/columns.hpp"
#include "data/decode.hpp"
#include "descriptor/descriptor.hpp"
#include "descriptor/replication.hpp"

namespace korvane {

// The occurrences of replicated groups, when the caller asks for them. A
// group of operators alone gives no items, so the bound on items does not
// bound its occurrences: they are held to `limit` of their own, each one
// recorded standing for `copies` (compressed data record the occurrences of
// one walk, which every subset repeats).
class Structure {
public:
    explicit Structure(std::vector<GroupOccurrence>* out, std::uint64_t limit = UINT64_MAX, std::uint64_t copies = 1)
        : out_(out), limit_(limit), copies_(copies == 0 ? 1 : copies) {}

    Result<void> begin(const std::uint32_t* replication, std::uint64_t position, std::uint32_t subset) {
        if (out_ == nullptr) return Ok{};
        if (out_->size() >= limit_ / copies_) return limit_exceeded();
        const auto node = nodes_.try_emplace(replication, static_cast<std::uint32_t>(nodes_.size())).first->second;
        const std::int64_t parent = open_.empty() ? -1 : open_.back();
        open_.push_back(static_cast<std::int64_t>(out_->size()));
        out_->push_back(GroupOccurrence{position, position, parent, node, subset});
        return Ok{};
    }
    void end(std::uint64_t position) {
        if (out_ == nullptr) return;
        (*out_)[static_cast<std::size_t>(open_.back())].end = position;
        open_.pop_back();
    }

private:
    BufrError limit_exceeded() const;

    std::vector<GroupOccurrence>* out_;
    std::uint64_t limit_;
    std::uint64_t copies_;
    std::vector<std::int64_t> open_;
    std::unordered_map<const std::uint32_t*, std::uint32_t> nodes_;
};

// The walk itself, over the leaf operations `Leaves` (readers when decoding,
// writers when encoding), which provide:
//   element(info, diff, need_value)  an element (or a bitmap target); returns
//                                    its value when need_value (first subset)
//   factor(info, group)              a delayed replication factor -> count;
//                                    `group` the descriptors it replicates
//   associated(width), placeholder(code), text(code, y)
//   new_reference(code, width)       2 03 YYY: the new reference value of
//                                    element `code`, `width` bits
//   opaque(code, width)              an element unknown to the tables, of a
//                                    width 2 06 YYY gave: its bits only
//   position()                       items (or columns) done so far
template <class Leaves>
class Walker {
public:
    Walker(WalkContext& ctx, ValueCodingState& state, Leaves& leaves, Structure& structure)
        : ctx_(ctx), state_(state), leaves_(leaves), structure_(structure) {}

    Result<void> walk(std::span<const std::uint32_t> descriptors, int depth, std::uint32_t subset) {
        if (depth > kMaxDescriptorDepth) return BufrError::limit_exceeded(Leaves::kDepthError);
        ValueCodingState& state = state_;
        const std::size_t n = descriptors.size();
        std::size_t i = 0;
        while (i < n) {
            KORVANE_TRY_VOID(ctx_.step());
            const std::uint32_t code = descriptors[i];
            const Fxy d = split_code(code);
            ctx_.note(code);
            switch (d.f) {
            case 0: {
                if (state.new_reference_width != 0) {
                    // Inside 2 03 YYY .. 2 03 255 an element descriptor defines
                    // the element's new reference value; it is not a data item.
                    KORVANE_TRY(const std::int64_t ref, leaves_.new_reference(code, state.new_reference_width));
                    state.new_references.insert_or_assign(code, ref);
                    ++i;
                    break;
                }
                if (d.x != 31 && state.associated_width != 0)
                    KORVANE_TRY_VOID(leaves_.associated(state.associated_width));
                const ElementInfo* found = ctx_.elements.find(code);
                // 2 06 YYY announces the width of a local element so that a
                // decoder without its table can step over it: its bits are
                // kept, with no name and no value. Under the reader's rules
                // an entry of another width is not the one the data were
                // written with, and the element is stepped over likewise.
                if (found != nullptr && state.local_width && ctx_.reader_rules &&
                    found->def->width != *state.local_width)
                    found = nullptr;
                if (found == nullptr) {
                    if (!state.local_width) return BufrError::element_not_found(code).in_tables(ctx_.tables.origin());
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
                ctx_.note(factor_code);
                const ElementInfo* found = ctx_.elements.find(factor_code);
                if (found == nullptr)
                    return BufrError::element_not_found(factor_code).in_tables(ctx_.tables.origin());
                const ElementInfo info = *found;
                KORVANE_TRY(const std::uint64_t count, leaves_.factor(info, group));
                state.element_history.push_back(info.def);
                KORVANE_TRY_VOID(repeat(replication, group, count, depth, subset));
                i = r.next;
                break;
            }
            case 2: {
                if (ctx_.reader_rules && !known_operator(d.x))
                    return BufrError::unsupported("operator " + padded_code(code) + " is not supported");
                switch (operator_step(d.x, d.y, state)) {
                case OperatorAction::None:
                    break;
                case OperatorAction::Placeholder:
                    KORVANE_TRY_VOID(leaves_.placeholder(code));
                    break;
                case OperatorAction::Marker: {
                    KORVANE_TRY(const ElementDefinition* target, state.next_bitmap_element());
                    if (target == nullptr) break;
                    ctx_.note(target->code);
                    const ElementInfo* found = ctx_.elements.find(target->code);
                    if (found == nullptr)
                        return BufrError::element_not_found(target->code).in_tables(ctx_.tables.origin());
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
                if (seq == nullptr) return BufrError::sequence_not_found(code).in_tables(ctx_.tables.origin());
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
            KORVANE_TRY_VOID(structure_.begin(replication, leaves_.position(), subset));
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
inline std::uint16_t text_width(const ElementInfo& info, const ValueCodingState& state, const DifferenceOverride* diff) {
    if (state.character_width) return *state.character_width;
    return diff != nullptr ? diff->width : info.def->width;
}

// The coding of a numeric element under the state, with its scaling.
inline Result<NumericCoding> coding_of(const ElementInfo& info, const ValueCodingState& state,
                                       const DifferenceOverride* diff, bool reader_rules, Scaling& scaling) {
    const ElementDefinition& def = *info.def;
    if (diff == nullptr && (state.table_b_coding() || (info.code_or_flag && !state.local_width))) {
        // The common case: the element as Table B defines it.
        scaling = info.scaling;
        return NumericCoding{def.width, def.scale, def.reference};
    }
    KORVANE_TRY(const NumericCoding c, numeric_coding(info, state, diff));
    scaling = scaling_of(c.scale, reader_rules);
    return c;
}

}  // namespace korvane
