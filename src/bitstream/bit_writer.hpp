// BitWriter: the counterpart of BitReader, packing the fields of BUFR section
// 4 most significant bit first without alignment. Numbers are at most 64 bits
// wide; byte fields (texts) and runs of ones (missing values) any width. The
// last octet is completed with zero bits by finish().
//
// Bits gather in a 64-bit accumulator and leave it eight at a time, so a
// field costs a shift, an or and at most a few byte stores.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

namespace korvane {

class BitWriter {
public:
    // Room for `bits` bits, so that a writer whose size is known in advance
    // grows its buffer once.
    void reserve_bits(std::uint64_t bits) { out_.reserve(static_cast<std::size_t>(bits / 8 + 8)); }

    // The low `width` bits of `value` (width 0..64); higher bits of `value`
    // must be zero.
    void write(std::uint64_t value, std::uint16_t width) {
        if (width == 0) return;
        if (width > 56) {
            // The accumulator holds fewer than 8 pending bits: split so that
            // each part fits beside them.
            write(value >> 32, static_cast<std::uint16_t>(width - 32));
            write(value & 0xFFFFFFFFu, 32);
            return;
        }
        acc_ = (acc_ << width) | value;
        pending_ += width;
        while (pending_ >= 8) {
            pending_ -= 8;
            out_.push_back(static_cast<std::uint8_t>(acc_ >> pending_));
        }
        acc_ &= (std::uint64_t{1} << pending_) - 1;
    }

    // `width` one bits, the pattern of a missing value of any width.
    void ones(std::uint64_t width) {
        while (width > 32) {
            write(0xFFFFFFFFu, 32);
            width -= 32;
        }
        write((std::uint64_t{1} << width) - 1, static_cast<std::uint16_t>(width));
    }

    // A field of `width` bits holding `bytes` as BitReader::read_bytes reads
    // it: whole octets, then the leading bits of one more. Octets beyond
    // `bytes` are `fill`.
    void write_bytes(std::string_view bytes, std::uint64_t width, std::uint8_t fill) {
        const std::uint64_t whole = width / 8;
        const auto rest = static_cast<std::uint16_t>(width % 8);
        auto byte_at = [&](std::uint64_t i) {
            return i < bytes.size() ? static_cast<std::uint8_t>(bytes[static_cast<std::size_t>(i)]) : fill;
        };
        if (pending_ == 0) {
            // Aligned: octets are copied as they are.
            const std::uint64_t n = whole < bytes.size() ? whole : bytes.size();
            out_.insert(out_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
            out_.insert(out_.end(), static_cast<std::size_t>(whole - n), fill);
        } else {
            for (std::uint64_t i = 0; i < whole; ++i) write(byte_at(i), 8);
        }
        if (rest != 0) write(static_cast<std::uint64_t>(byte_at(whole)) >> (8 - rest), rest);
    }

    std::uint64_t position() const noexcept { return std::uint64_t{out_.size()} * 8 + pending_; }

    // The bits written, the last octet completed with zeros.
    std::vector<std::uint8_t> finish() {
        if (pending_ != 0) {
            out_.push_back(static_cast<std::uint8_t>(acc_ << (8 - pending_)));
            pending_ = 0;
            acc_ = 0;
        }
        return std::move(out_);
    }

private:
    std::vector<std::uint8_t> out_;
    std::uint64_t acc_ = 0;
    unsigned pending_ = 0;  // bits in acc_ not yet stored, fewer than 8 between calls
};

}  // namespace korvane
