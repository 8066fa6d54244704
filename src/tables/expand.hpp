// Descriptor expansion: Table D sequences replaced by their members and
// replications unrolled, as a flat list of codes. An inspection service; the
// data decoders walk the descriptors themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "error/error.hpp"
#include "tables/table_set.hpp"

namespace korvane {

// Nested lists (sequence members, replicated blocks) deeper than this fail.
inline constexpr unsigned kMaxExpansionDepth = 64;

// Fixed replication multiplies the output, up to 255 times per level and over
// 64 levels, so a short list can ask for more codes than any memory holds.
// Real templates stay far below the bound: with each delayed replication
// taken once, the largest expansion of any sequence in the WMO tables
// (versions 2 to 39 of ecCodes' definitions) is 17,707 codes (3 40 007, IASI
// radiances), and 2^20 = 1,048,576 codes leaves a margin of almost sixty
// times. An expansion that would produce more codes, or visit more
// descriptors than kMaxExpansionSteps (replicated blocks that produce nothing
// still take time), fails with a Table error before it exhausts memory or
// runs without end.
inline constexpr std::size_t kMaxExpandedCodes = std::size_t{1} << 20;
inline constexpr std::uint64_t kMaxExpansionSteps = std::uint64_t{1} << 22;

struct ExpansionState {
    // Width in bits of the associated field in force (2 04 YYY); 0 for none.
    // It is not scoped: a change inside a sequence or a repetition holds for
    // everything expanded after it.
    std::uint8_t associated_field_width = 0;
    // Descriptors visited so far, for the step bound.
    std::uint64_t steps = 0;
};

// Appends the expansion of `codes` to `out`; returns the number of codes
// appended. On failure `out` holds part of the expansion and is to be dropped.
Result<std::size_t> expand_into(const TableSet& tables, std::span<const std::uint32_t> codes,
                                std::vector<std::uint32_t>& out, ExpansionState& state, unsigned depth);

// The expansion of `codes` from depth 0 with a fresh state.
Result<std::vector<std::uint32_t>> expand_codes(const TableSet& tables,
                                                std::span<const std::uint32_t> codes);

}  // namespace korvane
