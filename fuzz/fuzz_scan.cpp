// libFuzzer target: the reader's path over a whole input, as korvane.open
// takes it. The scan must report every message in input order, numbered from
// 0 with the damaged ones; a sound message must lie inside the input, start
// with "BUFR" and its declared length and end with "7777" at that length,
// and nothing the scan reports after it may start inside it. Every sound
// message is then decoded with the reader's rules and the tables its header
// names.
//   build/fuzz/fuzz_scan -max_total_time=300 -rss_limit_mb=2048 ../shared/corpus/ed4 ../shared/corpus/ed3
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "decoding.hpp"

namespace {

struct Found {
    std::uint64_t offset;
    korvane::BufrMessage message;
};

// Checks the scan's reports as they come, and keeps the sound messages.
class CheckingSink final : public korvane::ScanSink {
public:
    explicit CheckingSink(korvane::ByteView buf) : buf_(buf) {}

    void message(std::uint64_t index, std::uint64_t offset, korvane::BufrMessage&& m) override {
        next(index, offset);
        const std::uint64_t length = m.total_length;
        FUZZ_CHECK(length >= 12 && length <= buf_.size() - offset);
        const std::uint8_t* p = buf_.data() + offset;
        const std::uint64_t declared = std::uint64_t{p[4]} << 16 | std::uint64_t{p[5]} << 8 | p[6];
        FUZZ_CHECK(declared == length && p[7] == m.edition && std::memcmp(p + length - 4, "7777", 4) == 0);
        FUZZ_CHECK(m.edition >= 2 && m.edition <= 4);
        FUZZ_CHECK(m.section4_data_offset <= length && m.section4_data_length <= length - m.section4_data_offset);
        // Nothing reported later starts inside a sound message.
        sound_end_ = offset + length;
        found.push_back(Found{offset, std::move(m)});
    }

    void problem(std::uint64_t index, std::uint64_t offset, std::uint64_t length, korvane::BufrError error) override {
        next(index, offset);
        FUZZ_CHECK(length <= buf_.size() - offset);
        (void)error.describe();
    }

    std::vector<Found> found;

private:
    // Messages in order and numbered from 0; each starts with "BUFR".
    void next(std::uint64_t index, std::uint64_t offset) {
        FUZZ_CHECK(index == count_++);
        FUZZ_CHECK(offset >= sound_end_ && (index == 0 || offset > last_offset_));
        FUZZ_CHECK(offset <= buf_.size() && buf_.size() - offset >= 4 && std::memcmp(buf_.data() + offset, "BUFR", 4) == 0);
        last_offset_ = offset;
    }

    korvane::ByteView buf_;
    std::uint64_t count_ = 0;
    std::uint64_t last_offset_ = 0;
    std::uint64_t sound_end_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const korvane::ByteView buf(data, size);
    CheckingSink sink(buf);
    FUZZ_CHECK(korvane::scan_messages(buf, sink).ok());  // fails only when interrupted
    korvane::MessageColumns columns;
    for (const Found& f : sink.found) {
        const korvane::ByteView bytes = buf.subspan(f.offset, f.message.total_length);
        // The frame reads the same on its own.
        auto again = korvane::parse_message_any_edition(bytes);
        FUZZ_CHECK(again && again->unexpanded_descriptors == f.message.unexpanded_descriptors &&
                   again->section4_data_offset == f.message.section4_data_offset);
        const auto tables = fuzz::tables_for(f.message);
        if (tables) fuzz::decode_and_check(f.message, bytes, *tables, true, columns);
    }
    return 0;
}
