// Writing a message: sections 0 to 5 of edition 2, 3 or 4 around the data of
// section 4, the inverse of parse_message_any_edition.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "error/error.hpp"
#include "message/message.hpp"

namespace korvane {

// What a message holds besides the fields of BufrMessage.
struct MessageParts {
    // The octets of section 1 after its identification fields (local use).
    ByteView section1_local;
    // The local data of section 2 (after its four-octet header); no section 2
    // when absent.
    std::optional<ByteView> section2;
    // The sections padded with a zero octet to an even length when odd: bit
    // n - 1 for section n (1 to 4). Editions 2 and 3 ask it of every section,
    // and many encoders of edition 4 keep the habit.
    std::uint8_t even = 0;
};

// The length of the message whose header fields, parts and data (section 4
// after its four-octet header, `data_bytes` octets) are given, or the error
// naming what cannot be written: a field too large for its octets, an
// edition other than 2 to 4, a descriptor that is not F X Y, a section or
// message longer than three octets can state.
//
// Fields that the edition does not have are not written: the international
// data sub-category and the typical second before edition 4, the sub-centre
// in edition 2. Before edition 4 the year is written as its year of the
// century, which reads back as a year of the 21st century (as ecCodes reads
// it): years 2000 to 2255 read back as they are.
Result<std::uint64_t> message_length(const BufrMessage& header, const MessageParts& parts, std::uint64_t data_bytes);

// Writes the message into `out`, which holds message_length(...) octets
// (a successful call of it with the same arguments comes first).
void write_message(std::span<std::uint8_t> out, const BufrMessage& header, const MessageParts& parts, ByteView data);

// The same but for the data of section 4, which the caller copies to the
// offset returned (`data_bytes` octets; the padding after them is written).
std::uint64_t write_frame(std::span<std::uint8_t> out, const BufrMessage& header, const MessageParts& parts,
                          std::uint64_t data_bytes);

}  // namespace korvane
