// libFuzzer target: decoding one message. The input may be a whole file of
// any edition from 2 to 4, with headings and other messages around: the
// first sound message the scan finds is decoded with the tables its header
// names, under both rule sets (the per-value module's and the reader's),
// recording its groups, every array laid out and a sample of values rendered.
// Any input must give values or an error, never a crash, undefined behaviour
// or unbounded work.
//   build/fuzz/fuzz_decode -max_total_time=300 -rss_limit_mb=2048 ../shared/corpus/ed4 ../shared/corpus/ed3
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

#include "decoding.hpp"

namespace {

// Keeps the first sound message of the scan.
class FirstMessage final : public korvane::ScanSink {
public:
    void message(std::uint64_t, std::uint64_t offset, korvane::BufrMessage&& m) override {
        if (!found) found.emplace(offset, std::move(m));
    }
    void problem(std::uint64_t, std::uint64_t, std::uint64_t, korvane::BufrError error) override {
        (void)error.describe();
    }

    std::optional<std::pair<std::uint64_t, korvane::BufrMessage>> found;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const korvane::ByteView buf(data, size);
    FirstMessage first;
    FUZZ_CHECK(korvane::scan_messages(buf, first).ok());  // fails only when interrupted
    if (!first.found) return 0;
    const auto& [offset, m] = *first.found;
    const korvane::ByteView bytes = buf.subspan(offset, m.total_length);
    const auto tables = fuzz::tables_for(m);
    if (!tables) return 0;
    korvane::MessageColumns columns;
    for (const bool reader_rules : {false, true}) fuzz::decode_and_check(m, bytes, *tables, reader_rules, columns);
    return 0;
}
