// The extent of a replication in a descriptor list, the one rule that data
// decoding and descriptor expansion share: 1 XX YYY repeats the XX descriptors
// after it YYY times; with YYY = 0 (delayed replication) the element
// descriptor of the replication factor comes first, then the XX descriptors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "descriptor/descriptor.hpp"
#include "error/error.hpp"

namespace korvane {

struct Replication {
    bool delayed;
    std::size_t group_begin;  // position of the first replicated descriptor
    std::size_t group_size;   // XX
    std::size_t next;         // position after the replication
};

// The replication whose descriptor stands at codes[i].
inline Result<Replication> replication_at(std::span<const std::uint32_t> codes, std::size_t i) {
    const std::uint32_t code = codes[i];
    const Fxy d = split_code(code);
    const std::size_t x = d.x;
    const std::size_t n = codes.size();
    if (x == 0 || i + x >= n) return BufrError::unsupported_replication(code, n - i - 1);
    if (d.y > 0) return Replication{false, i + 1, x, i + x + 1};
    if (i + x + 1 >= n) return BufrError::incomplete_delayed_replication(code, n - i - 1);
    return Replication{true, i + 2, x, i + x + 2};
}

}  // namespace korvane
