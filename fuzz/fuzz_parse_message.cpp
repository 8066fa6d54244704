// libFuzzer target: one message frame. Any input must give a message or an
// error, never a crash or a read outside the buffer.
#include <cstddef>
#include <cstdint>

#include "message/message.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto r = korvane::parse_message(korvane::ByteView(data, size));
    if (r) {
        const auto& m = r.value();
        // The data area must lie inside the message whatever the header says.
        if (m.section4_data_offset + m.section4_data_length > size) __builtin_trap();
        (void)m.section4_data(korvane::ByteView(data, size));
    } else {
        (void)r.error().display();
    }
    return 0;
}
