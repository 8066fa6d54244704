// libFuzzer target: finding the messages in a buffer, then parsing each.
#include <cstddef>
#include <cstdint>

#include "message/message.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const korvane::ByteView buf(data, size);
    auto ranges = korvane::split_messages(buf);
    if (!ranges) return 0;
    std::size_t previous_end = 0;
    for (const auto& r : ranges.value()) {
        // Ranges are in order, inside the buffer and never overlap.
        if (r.start < previous_end || r.start > size || r.length > size - r.start) __builtin_trap();
        previous_end = r.start + r.length;
        (void)korvane::parse_message(buf.subspan(r.start, r.length));
    }
    return 0;
}
