// BitWriter: the counterpart of BitReader, packing the fields of BUFR section
// 4 most significant bit first without alignment. Numbers are at most 64 bits
// wide; byte fields (texts) and runs of ones (missing values) any width. The
// last octet is completed with zero bits by finish().
//
// Bits gather in a 64-bit accumulator and leave it eight at a time. Octets go
// into blocks that are never moved or copied while writing (a growing array
// would hold its old and new copies at once when it grows): a block is
// filled, then the next one, twice as large up to 1 MiB, so that the octets
// written take little more memory than their number, and whoever holds the
// message moves them out once, block by block (Bytes::move_to).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

namespace korvane {

class BitWriter {
    struct Block {
        std::unique_ptr<std::uint8_t[]> data;
        std::size_t size = 0;
    };

public:
    // The octets written, block after block.
    class Bytes {
    public:
        std::uint64_t size() const noexcept {
            std::uint64_t n = 0;
            for (const Block& b : blocks_) n += b.size;
            return n;
        }
        // Copies the octets to `out`, which holds size() of them.
        void copy_to(std::uint8_t* out) const noexcept {
            for (const Block& b : blocks_) {
                if (b.size != 0) std::memcpy(out, b.data.get(), b.size);
                out += b.size;
            }
        }
        // The same, giving each block's memory back once it is copied, so
        // that the octets are held twice over one block at most.
        void move_to(std::uint8_t* out) noexcept {
            for (Block& b : blocks_) {
                if (b.size != 0) std::memcpy(out, b.data.get(), b.size);
                out += b.size;
                b.data.reset();
            }
            blocks_.clear();
        }
        std::vector<std::uint8_t> to_vector() const {
            std::vector<std::uint8_t> v(static_cast<std::size_t>(size()));
            if (!v.empty()) copy_to(v.data());
            return v;
        }

    private:
        friend class BitWriter;
        std::vector<Block> blocks_;
    };

    BitWriter() { next_block(); }

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
        if (pending_ < 8) return;
        if (end_ - at_ < 8) [[unlikely]]
            next_block();
        do {
            pending_ -= 8;
            *at_++ = static_cast<std::uint8_t>(acc_ >> pending_);
        } while (pending_ >= 8);
        acc_ &= (std::uint64_t{1} << pending_) - 1;
    }

    // n fields of `width` bits (at most 56): value(i) for i = 0 .. n-1. The
    // loop keeps the accumulator in registers and the room checked once,
    // for the columns of compressed data.
    template <class Value>
    void write_n(std::size_t n, std::uint16_t width, Value&& value) {
        if (width == 0 || n == 0) return;
        room(static_cast<std::size_t>((std::uint64_t{n} * width) / 8 + 8));
        std::uint64_t acc = acc_;
        unsigned pending = pending_;
        std::uint8_t* at = at_;
        for (std::size_t i = 0; i < n; ++i) {
            acc = (acc << width) | value(i);
            pending += width;
            while (pending >= 8) {
                pending -= 8;
                *at++ = static_cast<std::uint8_t>(acc >> pending);
            }
            acc &= (std::uint64_t{1} << pending) - 1;
        }
        acc_ = acc;
        pending_ = pending;
        at_ = at;
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
        for (std::uint64_t i = 0; i < whole; ++i) write(byte_at(i), 8);
        if (rest != 0) write(static_cast<std::uint64_t>(byte_at(whole)) >> (8 - rest), rest);
    }

    std::uint64_t position() const noexcept {
        return (done_ + static_cast<std::uint64_t>(at_ - block_.data.get())) * 8 + pending_;
    }

    // The bits written, the last octet completed with zeros.
    Bytes finish() {
        if (pending_ != 0) {
            write(0, static_cast<std::uint16_t>(8 - pending_));
        }
        close_block();
        done_ = 0;
        at_ = end_ = nullptr;
        return std::move(full_);
    }

private:
    static constexpr std::size_t kFirstBlock = std::size_t{1} << 12;
    static constexpr std::size_t kLargestBlock = std::size_t{1} << 20;

    void close_block() {
        block_.size = static_cast<std::size_t>(at_ - block_.data.get());
        done_ += block_.size;
        if (block_.size != 0) full_.blocks_.push_back(std::move(block_));
        block_ = Block{};
    }

    // At least `bytes` octets of room in the block.
    void room(std::size_t bytes) {
        if (static_cast<std::size_t>(end_ - at_) < bytes) next_block(bytes);
    }

    void next_block(std::size_t at_least = 0) {
        std::size_t size = capacity_ == 0 ? kFirstBlock : std::min(kLargestBlock, 2 * capacity_);
        size = std::max(size, at_least);
        if (block_.data) close_block();
        block_.data = std::make_unique_for_overwrite<std::uint8_t[]>(size);
        capacity_ = size;
        at_ = block_.data.get();
        end_ = at_ + size;
    }

    Bytes full_;
    Block block_;
    std::size_t capacity_ = 0;
    std::uint8_t* at_ = nullptr;
    std::uint8_t* end_ = nullptr;
    std::uint64_t done_ = 0;  // octets in full_
    std::uint64_t acc_ = 0;
    unsigned pending_ = 0;  // bits in acc_ not yet stored, fewer than 8 between calls
};

}  // namespace korvane
