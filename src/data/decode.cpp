// The rules the data walker shares between uncompressed and compressed data.
#include "data/decode.hpp"

#include <cmath>

#include "descriptor/descriptor.hpp"

namespace korvane {

namespace {
thread_local std::uint64_t last_epoch = 0;
}  // namespace

ElementCache::Slot* ElementCache::thread_slots() {
    thread_local std::vector<Slot> slots(std::size_t{1} << kBits);
    return slots.data();
}

ElementCache::ElementCache(const TableSet& tables, bool reader_rules)
    : tables_(tables), slots_(thread_slots()), epoch_(++last_epoch), reader_rules_(reader_rules) {}

const ElementInfo* ElementCache::find(std::uint32_t code) {
    Slot& slot = slots_[(code * 0x9E3779B1u) >> (32 - kBits)];
    if (slot.epoch == epoch_ && slot.code == code) return &slot.info;
    const ElementDefinition* def = tables_.find_element(code);
    if (def == nullptr) return nullptr;
    slot.epoch = epoch_;
    slot.code = code;
    slot.info = classify_element(*def, reader_rules_);
    return &slot.info;
}

WalkContext::WalkContext(const TableSet& tables_in, ElementCache& elements_in, BitReader& reader_in,
                         std::uint16_t subsets, bool reader_rules_in)
    : WalkContext(tables_in, elements_in, reader_in.bit_len(), subsets, "decoding", reader_rules_in) {
    reader = &reader_in;
}

WalkContext::WalkContext(const TableSet& tables_in, ElementCache& elements_in, std::uint64_t data_bits,
                         std::uint16_t subsets, const char* activity, bool reader_rules_in)
    : tables(tables_in), elements(elements_in), reader_rules(reader_rules_in), data_bits_(data_bits),
      activity_(activity) {
    max_steps_ = kStepAllowance + kStepsPerBit * data_bits;
    max_values_ = kValueAllowance + std::uint64_t{subsets} * data_bits / 4;
}

BufrError WalkContext::steps_exceeded() const {
    return BufrError::limit_exceeded(std::string(activity_) + " would take more than " + std::to_string(max_steps_) +
                                     " descriptor steps for " + std::to_string(data_bits_) +
                                     " bits of data: descriptors are repeated without reading data");
}

BufrError WalkContext::values_exceeded() const {
    return BufrError::limit_exceeded("compressed data would give more than " + std::to_string(max_values_) +
                                     " values for " + std::to_string(data_bits_) +
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

bool known_operator(std::uint8_t x) noexcept {
    return (x >= 1 && x <= 8) || (x >= 22 && x <= 27) || (x >= 29 && x <= 42) || x == 62;
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

}  // namespace korvane
