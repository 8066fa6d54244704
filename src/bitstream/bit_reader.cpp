#include "bitstream/bit_reader.hpp"

namespace korvane {

BufrError BitReader::read_error(std::uint16_t width) const {
    if (width > 64) return BufrError::field_too_wide(width, position_, descriptor_);
    return BufrError::data_ended(position_, width, bit_len(), descriptor_);
}

Result<std::string> BitReader::read_bytes(std::uint16_t width) {
    std::string out;
    KORVANE_TRY_VOID(read_bytes_into(width, out));
    return out;
}

Result<void> BitReader::read_bytes_into(std::uint16_t width, std::string& out) {
    out.clear();
    if (width == 0) return Ok{};
    const std::size_t whole = width / 8u;
    const unsigned rest = width % 8u;
    out.resize(whole + (rest != 0 ? 1 : 0));
    std::size_t i = 0;
    // Byte-aligned fields (the common case for texts) are copied directly.
    if ((position_ & 7) == 0) {
        const std::uint64_t avail = bits_left() / 8;
        const std::size_t n = avail < whole ? static_cast<std::size_t>(avail) : whole;
        if (n != 0) std::memcpy(out.data(), data_ + (position_ >> 3), n);
        position_ += std::uint64_t{n} * 8;
        i = n;
    }
    for (; i < whole; ++i) {
        std::uint64_t b = 0;
        if (!try_read(8, b)) return read_error(8);
        out[i] = static_cast<char>(b);
    }
    if (rest != 0) {
        const auto r = static_cast<std::uint16_t>(rest);
        std::uint64_t b = 0;
        if (!try_read(r, b)) return read_error(r);
        out[whole] = static_cast<char>(b << (8 - rest));
    }
    return Ok{};
}

}  // namespace korvane
