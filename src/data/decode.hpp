// What the data walker shares with its leaf readers: element look-ups, the
// bounds on the work of one decode, and the rules of operators, bitmaps and
// replication counts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "bitstream/bit_reader.hpp"
#include "data/decoded_value.hpp"
#include "error/error.hpp"
#include "error/interrupt.hpp"
#include "message/message.hpp"
#include "tables/table_set.hpp"

namespace korvane {

// Descriptors may nest this many levels below the message's own list.
inline constexpr int kMaxDescriptorDepth = 64;

// Bounds on the work of one decode. A replicated group that reads no data
// (operators only, elements of width 0) could otherwise repeat without limit,
// so the walk stops with an error beyond
//   kStepAllowance + kStepsPerBit * (bits of the data section)
// descriptor steps (every descriptor handled, in every subset, repetition and
// nesting level), and compressed data beyond
//   kValueAllowance + (number of subsets) * (bits of the data section) / 4
// decoded values. Real messages stay far below both: an element costs at least
// one bit per value uncompressed, and a compressed column at least 6 bits.
inline constexpr std::uint64_t kStepAllowance = 65536;
inline constexpr std::uint64_t kStepsPerBit = 8;
inline constexpr std::uint64_t kValueAllowance = 65536;

// Element lookups of one decode: each code's definition and classification is
// worked out once and kept in a small direct-mapped cache.
class ElementCache {
public:
    // Elements classified under the reader's rules when `reader_rules` is set.
    explicit ElementCache(const TableSet& tables, bool reader_rules = false);
    // Null when the code has no Table B entry. The pointer is valid until the
    // next call.
    const ElementInfo* find(std::uint32_t code);

private:
    struct Slot {
        std::uint64_t epoch = 0;  // the cache that filled it
        std::uint32_t code = 0;
        ElementInfo info;
    };
    static constexpr unsigned kBits = 10;
    // The slots are the thread's, kept from decode to decode: a cache takes a
    // new epoch instead of clearing them (for a small message, clearing them
    // cost more than its lookups). A slot counts only for the cache of its
    // epoch, so caches alive at once in a thread stay correct.
    static Slot* thread_slots();
    const TableSet& tables_;
    Slot* slots_;
    std::uint64_t epoch_;
    bool reader_rules_;
};

// What the walkers share within one decode or encode: tables and work bounds.
class WalkContext {
public:
    // `elements` caches look-ups in `tables`; passes over one message share it.
    WalkContext(const TableSet& tables, ElementCache& elements, BitReader& reader, std::uint16_t subsets,
                bool reader_rules = false);
    // The bounds of a walk over `data_bits` bits that reads none (an
    // encoder's); `activity` ("decoding", "encoding") names the walk in the
    // errors of the bounds.
    WalkContext(const TableSet& tables, ElementCache& elements, std::uint64_t data_bits, std::uint16_t subsets,
                const char* activity, bool reader_rules = false);

    // Notes the descriptor whose field comes next, which a read that runs
    // out of data names (a walk that reads).
    void note(std::uint32_t descriptor) noexcept {
        if (reader != nullptr) reader->note(descriptor);
    }

    const TableSet& tables;
    BitReader* reader = nullptr;  // null for a walk that writes
    ElementCache& elements;
    // The reader's rules (DecodeOptions::reader_rules): an operator the walk
    // does not know is an error, and an element announced by 2 06 YYY is read
    // with its table entry only when that entry is YYY bits wide.
    bool reader_rules;

    // Counts one descriptor step; fails beyond the step bound.
    Result<void> step() {
        if (++steps_ > max_steps_) return steps_exceeded();
        if ((steps_ & (kPollSteps - 1)) == 0 && interrupt.poll != nullptr && interrupt.poll(interrupt.data))
            return BufrError::interrupted();
        return Ok{};
    }
    // Asked every kPollSteps steps whether to stop (a caller that wants to
    // honour Ctrl-C during a long walk).
    Interrupt interrupt;
    static constexpr std::uint64_t kPollSteps = std::uint64_t{1} << 20;
    // Counts the values of one compressed column; fails beyond the value bound.
    Result<void> add_values(std::uint64_t n) {
        values_ += n;
        if (values_ > max_values_) return values_exceeded();
        return Ok{};
    }

private:
    BufrError steps_exceeded() const;
    BufrError values_exceeded() const;

    std::uint64_t data_bits_;
    const char* activity_;
    std::uint64_t steps_ = 0;
    std::uint64_t max_steps_;
    std::uint64_t values_ = 0;
    std::uint64_t max_values_;
};

// What an operator descriptor asks of the walker besides its state changes.
enum class OperatorAction : std::uint8_t {
    None,         // state change only
    Placeholder,  // append an operator placeholder
    Marker,       // read the value of the next bitmap element
    Text,         // 2 05 YYY: read YYY characters
};
// Applies the state changes of operator 2 XX YYY (the bitmap operators, the
// changed-reference brackets of 2 03 and apply_operator) and says what else the
// walker must do. Shared by both walkers.
OperatorAction operator_step(std::uint8_t x, std::uint8_t y, ValueCodingState& state);

// Whether operator 2 XX YYY is one the walk reads. One it does not read (2 21
// YYY, data not present, say) changes what the data hold, so that reading on
// past it would give shifted values.
bool known_operator(std::uint8_t x) noexcept;

// The data present indicator, element 0 31 031.
inline constexpr std::uint32_t kDataPresentIndicator = 31031;

// Whether a data present indicator just read belongs to a bitmap: one is being
// defined (2 36 000), or an operator announced one and this indicator starts
// it (the bitmap is then cleared and defining begins).
bool takes_bitmap_indicator(ValueCodingState& state);

// A delayed replication count from the factor's value: truncated toward zero;
// missing, negative and NaN give 0, values beyond 64 bits the largest count.
std::uint64_t replication_count(std::optional<double> value) noexcept;

// The bitmap byte for a data present indicator's value: truncated toward zero
// and held to 0..255 (NaN gives 0).
std::uint8_t bitmap_byte(double value) noexcept;

}  // namespace korvane
