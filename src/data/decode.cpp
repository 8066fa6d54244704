// Shared pieces of the two walkers and the walker for uncompressed data.
#include "data/decode.hpp"

#include <cmath>

#include "descriptor/descriptor.hpp"

namespace korvane {

DecodedValues DecodedValues::from_subsets(std::vector<DecodedValue> values) {
    DecodedValues r;
    r.count_ = values.size();
    r.flat_ = std::move(values);
    return r;
}

DecodedValues DecodedValues::from_columns(std::vector<std::vector<DecodedValue>> columns, std::size_t subsets) {
    DecodedValues r;
    r.by_column_ = true;
    r.subsets_ = subsets;
    for (const auto& c : columns) r.count_ += c.size() < subsets ? c.size() : subsets;
    r.columns_ = std::move(columns);
    return r;
}

ElementCache::ElementCache(const TableSet& tables) : tables_(tables), slots_(std::size_t{1} << kBits) {}

const ElementInfo* ElementCache::find(std::uint32_t code) {
    Slot& slot = slots_[(code * 0x9E3779B1u) >> (32 - kBits)];
    if (slot.info.def != nullptr && slot.code == code) return &slot.info;
    const ElementDefinition* def = tables_.find_element(code);
    if (def == nullptr) return nullptr;
    slot.code = code;
    slot.info = classify_element(*def);
    return &slot.info;
}

WalkContext::WalkContext(const TableSet& tables_in, BitReader& reader_in, std::uint16_t subsets)
    : tables(tables_in), reader(reader_in), elements(tables_in) {
    const std::uint64_t bits = reader_in.bit_len();
    max_steps_ = kStepAllowance + kStepsPerBit * bits;
    max_values_ = kValueAllowance + std::uint64_t{subsets} * bits / 4;
}

BufrError WalkContext::steps_exceeded() const {
    return BufrError::table("decoding would take more than " + std::to_string(max_steps_) +
                            " descriptor steps for " + std::to_string(reader.bit_len()) +
                            " bits of data: descriptors are repeated without reading data");
}

BufrError WalkContext::values_exceeded() const {
    return BufrError::table("compressed data would give more than " + std::to_string(max_values_) +
                            " values for " + std::to_string(reader.bit_len()) +
                            " bits of data: descriptors are repeated without reading data");
}

OperatorAction operator_step(std::uint8_t x, std::uint8_t y, ValueCodingState& state) {
    OperatorAction action = OperatorAction::None;
    switch (x) {
    case 3:
        // Changed reference values: 2 03 YYY opens the definitions of YYY-bit
        // references, 2 03 255 closes them, 2 03 000 restores Table B's.
        if (y == 0) {
            state.new_references.clear();
            state.new_reference_width = 0;
        } else if (y == 255) {
            state.new_reference_width = 0;
        } else {
            state.new_reference_width = y;
        }
        break;
    case 5:
        if (y != 0) action = OperatorAction::Text;
        break;
    case 22:
    case 23:
    case 24:
    case 25:
    case 32:
        if (x != 22 && y == 255) return OperatorAction::Marker;
        if (x == 22 && y != 0) break;
        action = OperatorAction::Placeholder;
        if (y == 0) {
            // The data present bitmap follows these operators; it refers back
            // to the elements since the start or the last 2 35 000.
            if (!state.backward_reference) {
                state.bitmap_anchor = state.element_history.size();
                state.backward_reference = true;
            }
            state.bitmap_announced = true;
        }
        break;
    case 26:
    case 27:
    case 29:
    case 30:
    case 31:
    case 33:
    case 34:
    case 38:
    case 39:
    case 40:
    case 41:
    case 42:
        action = OperatorAction::Placeholder;
        break;
    case 35:
        action = OperatorAction::Placeholder;
        if (y == 0) {
            state.bitmap.clear();
            state.bitmap_cursor = 0;
            state.bitmap_anchor = 0;
            state.backward_reference = false;
            state.bitmap_announced = false;
        }
        break;
    case 36:
        if (y == 0) {
            action = OperatorAction::Placeholder;
            state.defining_bitmap = true;
            state.bitmap.clear();
            state.bitmap_cursor = 0;
            state.bitmap_anchor = state.element_history.size();
        }
        break;
    case 37:
        action = OperatorAction::Placeholder;
        if (y == 0) {
            state.bitmap_cursor = 0;  // the defined bitmap is used again
            state.bitmap_announced = false;
        } else {
            state.bitmap.clear();
            state.bitmap_cursor = 0;
            state.bitmap_anchor = 0;
        }
        break;
    case 62:
        if (y == 0) action = OperatorAction::Placeholder;
        break;
    default:
        break;
    }
    apply_operator(x, y, state);
    return action;
}

std::uint64_t replication_count(std::optional<double> value) noexcept {
    if (!value) return 0;
    const double v = *value;
    if (!(v > 0.0)) return 0;  // negative, zero and NaN
    if (v >= 18446744073709551616.0) return UINT64_MAX;
    return static_cast<std::uint64_t>(v);
}

std::uint8_t bitmap_byte(double value) noexcept {
    if (!(value > 0.0)) return 0;
    if (value >= 255.0) return 255;
    return static_cast<std::uint8_t>(value);
}

bool takes_bitmap_indicator(ValueCodingState& state) {
    if (state.bitmap_announced) {
        state.bitmap.clear();
        state.bitmap_cursor = 0;
        state.defining_bitmap = true;
        state.bitmap_announced = false;
        return true;
    }
    return state.defining_bitmap;
}

Result<void> decode_descriptor_values_inner(std::span<const std::uint32_t> descriptors, WalkContext& ctx,
                                            ValueCodingState& state, std::vector<DecodedValue>& values,
                                            int depth) {
    if (depth > kMaxDescriptorDepth) return BufrError::table("descriptor decode exceeded recursion depth");
    BitReader& reader = ctx.reader;
    const std::size_t n = descriptors.size();
    std::size_t i = 0;
    while (i < n) {
        KORVANE_TRY_VOID(ctx.step());
        const std::uint32_t code = descriptors[i];
        const Fxy d = split_code(code);
        switch (d.f) {
        case 0: {
            if (state.new_reference_width != 0) {
                // Inside 2 03 YYY .. 2 03 255 an element descriptor defines the
                // element's new reference value; it is not a data item.
                std::uint64_t bits = 0;
                if (!reader.try_read(state.new_reference_width, bits))
                    return reader.read_error(state.new_reference_width);
                state.new_references.insert_or_assign(code, signed_reference(bits, state.new_reference_width));
                ++i;
                break;
            }
            if (d.x != 31 && state.associated_width != 0)
                KORVANE_TRY_VOID(read_associated_field(reader, state.associated_width, values));
            const ElementInfo* info = ctx.elements.find(code);
            if (info == nullptr) return BufrError::element_not_found(code);
            KORVANE_TRY(const std::optional<double> value, read_element(*info, reader, state, values));
            state.local_width.reset();
            if (code == kDataPresentIndicator && takes_bitmap_indicator(state)) {
                if (value) state.bitmap.push_back(bitmap_byte(*value));
            } else {
                state.element_history.push_back(info->def);
            }
            ++i;
            break;
        }
        case 1: {
            const std::size_t x = d.x;
            if (x == 0 || i + x >= n) return BufrError::unsupported_replication(code);
            if (d.y > 0) {
                const auto group = descriptors.subspan(i + 1, x);
                for (unsigned k = 0; k < d.y; ++k)
                    KORVANE_TRY_VOID(decode_descriptor_values_inner(group, ctx, state, values, depth + 1));
                i += x + 1;
                break;
            }
            if (i + x + 1 >= n) return BufrError::incomplete_delayed_replication(code);
            const std::uint32_t factor_code = descriptors[i + 1];
            if (!is_class31(factor_code) && state.associated_width != 0)
                KORVANE_TRY_VOID(read_associated_field(reader, state.associated_width, values));
            const ElementInfo* info = ctx.elements.find(factor_code);
            if (info == nullptr) return BufrError::element_not_found(factor_code);
            const ElementDefinition* factor = info->def;
            KORVANE_TRY(const std::optional<double> value, read_element(*info, reader, state, values));
            state.element_history.push_back(factor);
            const std::uint64_t count = replication_count(value);
            const auto group = descriptors.subspan(i + 2, x);
            for (std::uint64_t k = 0; k < count; ++k)
                KORVANE_TRY_VOID(decode_descriptor_values_inner(group, ctx, state, values, depth + 1));
            i += x + 2;
            break;
        }
        case 2: {
            switch (operator_step(d.x, d.y, state)) {
            case OperatorAction::None:
                break;
            case OperatorAction::Placeholder:
                values.push_back(DecodedValue::placeholder(code));
                break;
            case OperatorAction::Marker: {
                KORVANE_TRY(const ElementDefinition* target, state.next_bitmap_element());
                if (target == nullptr) break;
                const ElementInfo* info = ctx.elements.find(target->code);
                if (info == nullptr) return BufrError::element_not_found(target->code);
                // 2 25 255 reads a difference: one bit wider, reference -2^width.
                const DifferenceOverride diff = difference_override(*target);
                KORVANE_TRY_VOID(read_element(*info, reader, state, values, d.x == 25 ? &diff : nullptr));
                break;
            }
            case OperatorAction::Text: {
                const auto width = static_cast<std::uint16_t>(8u * d.y);
                KORVANE_TRY(std::string bytes, reader.read_bytes(width));
                state.text_counter += 1;
                const double index = static_cast<double>(state.text_counter * 1000 + d.y);
                values.push_back(DecodedValue::character(code, index, decode_ia5_text(std::move(bytes)),
                                                         ValueKind::InsertedText));
                break;
            }
            }
            ++i;
            break;
        }
        case 3: {
            const SequenceDefinition* seq = ctx.tables.find_sequence(code);
            if (seq == nullptr) return BufrError::sequence_not_found(code);
            KORVANE_TRY_VOID(decode_descriptor_values_inner(seq->members, ctx, state, values, depth + 1));
            ++i;
            break;
        }
        default:
            return BufrError::table("invalid descriptor " + padded_code(code));
        }
    }
    return Ok{};
}

Result<DecodedValues> decode_uncompressed_values(const BufrMessage& message, const TableSet& tables,
                                                 ByteView data) {
    BitReader reader(data);
    WalkContext ctx(tables, reader, message.number_of_subsets);
    const std::span<const std::uint32_t> descriptors(message.unexpanded_descriptors);
    ValueCodingState state;
    if (message.compressed_data) {
        std::vector<Column> columns;
        KORVANE_TRY_VOID(decode_compressed_descriptors_inner(descriptors, ctx, state, columns,
                                                             message.number_of_subsets, 0));
        return DecodedValues::from_columns(std::move(columns), message.number_of_subsets);
    }
    std::vector<DecodedValue> values;
    for (unsigned s = 0; s < message.number_of_subsets; ++s) {
        state.reset();  // a fresh state per subset; the text numbering carries on
        KORVANE_TRY_VOID(decode_descriptor_values_inner(descriptors, ctx, state, values, 0));
    }
    return DecodedValues::from_subsets(std::move(values));
}

}  // namespace korvane
