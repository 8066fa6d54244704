// libFuzzer target: one message frame, read as edition 4 only and as any
// edition. Any input must give a message or an error, never a crash or a read
// outside the buffer, and both readers must agree on an edition 4 message.
#include <cstddef>
#include <cstdint>

#include "message/message.hpp"

namespace {

void check(const korvane::Result<korvane::BufrMessage>& r, const std::uint8_t* data, std::size_t size) {
    if (r) {
        const auto& m = r.value();
        // The data area must lie inside the message whatever the header says.
        if (m.section4_data_offset + m.section4_data_length > size) __builtin_trap();
        (void)m.section4_data(korvane::ByteView(data, size));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const korvane::ByteView buf(data, size);
    auto r = korvane::parse_message(buf);
    auto any = korvane::parse_message_any_edition(buf);
    check(r, data, size);
    check(any, data, size);
    if (!r) (void)r.error().display();
    if (!any) (void)any.error().display();
    // Edition 4 reads the same through both; other editions only through one.
    const bool edition4 = size >= 8 && data[7] == 4;
    if (edition4 && r.ok() != any.ok()) __builtin_trap();
    if (r && any && r.value().unexpanded_descriptors != any.value().unexpanded_descriptors) __builtin_trap();
    return 0;
}
