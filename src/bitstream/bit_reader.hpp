// BitReader: the cursor over the bit-packed data of BUFR section 4. Fields are
// packed without alignment, most significant bit first; a field is at most 64
// bits wide when read as a number, any width when read as bytes.
//
// Reads take one bounds check and, away from the last eight bytes, one unaligned
// 64-bit big-endian load (the approach of LLVM's BitstreamReader and zstd's
// bitstream.h); the tail of the buffer is loaded byte by byte. Failures are
// built out of line so that the inline fast path stays small.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

#include "error/error.hpp"

namespace korvane {

class BitReader {
public:
    explicit BitReader(std::span<const std::uint8_t> data) noexcept
        : data_(data.data()), len_(data.size()) {}

    // The next `width` bits as an unsigned number (width 0 gives 0 and reads
    // nothing). Fails for widths above 64 and for fields running past the end;
    // a failed read leaves the position where it was.
    Result<std::uint64_t> read_u64(std::uint16_t width) {
        std::uint64_t v = 0;
        if (!try_read(width, v)) return read_error(width);
        return v;
    }

    // ceil(width / 8) bytes: the whole bytes of the field, then the remaining
    // bits left-aligned in a last byte. A failure names the byte being read,
    // and the whole bytes already taken stay consumed.
    Result<std::string> read_bytes(std::uint16_t width);
    // The same into `out` (resized to the field's bytes), so that a caller
    // reading many texts can reuse one buffer.
    Result<void> read_bytes_into(std::uint16_t width, std::string& out);

    // Moves the cursor to `bit` (at most bit_len()).
    void seek(std::uint64_t bit) noexcept { position_ = bit <= bit_len() ? bit : bit_len(); }

    // Reads into `out` and returns true, or returns false leaving everything
    // unchanged; read_error(width) then describes the failure.
    bool try_read(std::uint16_t width, std::uint64_t& out) noexcept {
        if (width == 0) {
            out = 0;
            return true;
        }
        if (width > 64 || width > bits_left()) return false;
        out = peek(width);
        position_ += width;
        return true;
    }

    // The error of a read of `width` bits that try_read refused.
    BufrError read_error(std::uint16_t width) const;

    // The descriptor whose field comes next, which read_error names.
    void note(std::uint32_t descriptor) noexcept { descriptor_ = descriptor; }

    // The field of `width` bits (1..64) at bit `bit`, which the caller has
    // checked lies inside the data; the position does not move.
    [[gnu::always_inline]] std::uint64_t peek_at(std::uint64_t bit, std::uint16_t width) const noexcept {
        return peek_bits(bit, width);
    }

    std::uint64_t position() const noexcept { return position_; }
    std::uint64_t len() const noexcept { return len_; }
    std::uint64_t bit_len() const noexcept { return std::uint64_t{len_} * 8; }
    std::uint64_t bits_left() const noexcept { return bit_len() - position_; }

private:
    static std::uint64_t load_be64(const std::uint8_t* p) noexcept {
        std::uint64_t w;
        std::memcpy(&w, p, sizeof w);
        if constexpr (std::endian::native == std::endian::big) return w;
        return __builtin_bswap64(w);
    }

    // The field of `width` bits (1..64) at the position; the caller has checked
    // that it lies inside the data.
    std::uint64_t peek(std::uint16_t width) const noexcept { return peek_bits(position_, width); }

    [[gnu::always_inline]] std::uint64_t peek_bits(std::uint64_t bit, std::uint16_t width) const noexcept {
        const std::uint64_t byte = bit >> 3;
        const unsigned shift = static_cast<unsigned>(bit & 7);
        std::uint64_t word;
        std::uint8_t next;
        if (byte + 9 <= len_) {
            word = load_be64(data_ + byte);
            next = data_[byte + 8];
        } else {
            // Within the last nine bytes: copy what there is, zero-padded.
            std::uint8_t buf[9] = {};
            std::memcpy(buf, data_ + byte, static_cast<std::size_t>(len_ - byte));
            word = load_be64(buf);
            next = buf[8];
        }
        word <<= shift;
        // A field that starts late in its byte can reach into a ninth byte.
        if (shift != 0) word |= static_cast<std::uint64_t>(next) >> (8 - shift);
        return word >> (64 - width);
    }

    const std::uint8_t* data_;
    std::uint64_t len_;
    std::uint64_t position_ = 0;
    std::uint32_t descriptor_ = 0;
};

}  // namespace korvane
