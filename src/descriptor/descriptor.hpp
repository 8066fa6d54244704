// Descriptor codes: F (2 bits), X (6 bits), Y (8 bits) packed in decimal place
// values as F*100000 + X*1000 + Y, the form every table and list uses.
#pragma once

#include <cstdint>

namespace korvane {

struct Fxy {
    std::uint8_t f;
    std::uint8_t x;
    std::uint8_t y;
};

// Splits a code by decimal division; F and Y are narrowed to 8 bits, as a real
// descriptor's would be.
constexpr Fxy split_code(std::uint32_t code) noexcept {
    return Fxy{static_cast<std::uint8_t>((code / 100000) % 256),
               static_cast<std::uint8_t>((code % 100000) / 1000),
               static_cast<std::uint8_t>((code % 1000) % 256)};
}

constexpr std::uint32_t pack_code(std::uint8_t f, std::uint8_t x, std::uint8_t y) noexcept {
    return std::uint32_t{f} * 100000 + std::uint32_t{x} * 1000 + y;
}

// Class 31 holds the replication factors and data present indicators.
constexpr bool is_class31(std::uint32_t code) noexcept { return (code % 100000) / 1000 == 31; }

// Stands for an associated field in expanded lists and decoded values.
inline constexpr std::uint32_t kAssociatedFieldCode = 999999;

}  // namespace korvane
