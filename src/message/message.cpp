#include "message/message.hpp"

#include <cstring>

#include "descriptor/descriptor.hpp"

namespace korvane {

namespace {

constexpr std::uint8_t kMarker[4] = {'B', 'U', 'F', 'R'};
constexpr std::uint8_t kTerminator[4] = {'7', '7', '7', '7'};

std::uint64_t be24(const std::uint8_t* p) {
    return (std::uint64_t{p[0]} << 16) | (std::uint64_t{p[1]} << 8) | p[2];
}

// True when [offset, offset + n) lies inside a buffer of `len` bytes,
// written so that offset + n cannot overflow.
bool fits(std::uint64_t len, std::uint64_t offset, std::uint64_t n) {
    return offset <= len && n <= len - offset;
}

Result<std::uint8_t> read_header_byte(ByteView buf, std::uint64_t offset) {
    if (offset >= buf.size()) return BufrError::section_truncated(0, offset);
    return buf[offset];
}

}  // namespace

Result<std::uint64_t> read_section_length(ByteView buf, std::uint64_t offset, std::uint8_t section) {
    if (!fits(buf.size(), offset, 3)) return BufrError::section_truncated(section, offset);
    return be24(buf.data() + offset);
}

Result<std::uint16_t> read_u16(ByteView buf, std::uint64_t offset) {
    if (!fits(buf.size(), offset, 2)) return BufrError::section_truncated(0, offset);
    return static_cast<std::uint16_t>((buf[offset] << 8) | buf[offset + 1]);
}

Result<BufrMessage> parse_message(ByteView buf) {
    const std::uint64_t len = buf.size();
    if (len < 8) return BufrError::too_short();
    if (std::memcmp(buf.data(), kMarker, 4) != 0) return BufrError::missing_marker();
    if (buf[7] != 4) return BufrError::unsupported_edition(buf[7]);
    const std::uint64_t declared = be24(buf.data() + 4);
    if (declared != len) return BufrError::length_mismatch(declared, len);
    if (len <= 10) return BufrError::section_truncated(1, 8);

    BufrMessage m;
    m.section1_length = be24(buf.data() + 8);
    const std::uint64_t end1 = 8 + m.section1_length;
    if (end1 > len) return BufrError::section_truncated(1, 8);

    KORVANE_TRY(const std::uint8_t section2_flag, read_header_byte(buf, 17));
    KORVANE_TRY(m.typical_year, read_u16(buf, 23));

    if (section2_flag != 0) {
        KORVANE_TRY(m.section2_length, read_section_length(buf, end1, 2));
        if (!fits(len, end1, m.section2_length)) return BufrError::section_truncated(2, end1);
    }

    const std::uint64_t start3 = end1 + m.section2_length;
    KORVANE_TRY(m.section3_length, read_section_length(buf, start3, 3));
    if (!fits(len, start3, m.section3_length) || m.section3_length < 7)
        return BufrError::section_truncated(3, start3);

    KORVANE_TRY(m.number_of_subsets, read_u16(buf, start3 + 4));
    const std::uint8_t flags = buf[start3 + 6];
    m.observed_data = (flags & 0x80) != 0;
    m.compressed_data = (flags & 0x40) != 0;

    // Encoders that follow the edition 3 habit pad section 3 to an even length
    // with one zero byte; that byte is padding, not half a descriptor.
    std::uint64_t area = m.section3_length - 7;
    if (area % 2 != 0) {
        if (buf[start3 + m.section3_length - 1] != 0) return BufrError::odd_descriptor_area();
        area -= 1;
    }
    m.unexpanded_descriptors.reserve(area / 2);
    for (std::uint64_t i = 0; i < area; i += 2) {
        const std::uint8_t b0 = buf[start3 + 7 + i];
        const std::uint8_t b1 = buf[start3 + 8 + i];
        m.unexpanded_descriptors.push_back(pack_code(static_cast<std::uint8_t>(b0 >> 6),
                                                     static_cast<std::uint8_t>(b0 & 0x3F), b1));
    }

    const std::uint64_t start4 = start3 + m.section3_length;
    KORVANE_TRY(m.section4_length, read_section_length(buf, start4, 4));
    if (!fits(len, start4, m.section4_length)) return BufrError::section_truncated(4, start4);
    const std::uint64_t end4 = start4 + m.section4_length;
    if (!fits(len, end4, 4)) return BufrError::section_truncated(5, end4);
    if (std::memcmp(buf.data() + end4, kTerminator, 4) != 0) return BufrError::bad_terminator();

    m.master_table_number = buf[11];
    KORVANE_TRY(m.originating_centre, read_u16(buf, 12));
    KORVANE_TRY(m.originating_subcentre, read_u16(buf, 14));
    KORVANE_TRY(m.update_sequence_number, read_header_byte(buf, 16));
    m.local_section_present = section2_flag != 0;
    KORVANE_TRY(m.data_category, read_header_byte(buf, 18));
    KORVANE_TRY(m.international_data_subcategory, read_header_byte(buf, 19));
    KORVANE_TRY(m.local_data_subcategory, read_header_byte(buf, 20));
    KORVANE_TRY(m.master_tables_version_number, read_header_byte(buf, 21));
    KORVANE_TRY(m.local_tables_version_number, read_header_byte(buf, 22));
    KORVANE_TRY(m.typical_month, read_header_byte(buf, 25));
    KORVANE_TRY(m.typical_day, read_header_byte(buf, 26));
    KORVANE_TRY(m.typical_hour, read_header_byte(buf, 27));
    KORVANE_TRY(m.typical_minute, read_header_byte(buf, 28));
    KORVANE_TRY(m.typical_second, read_header_byte(buf, 29));

    m.section4_data_offset = start4 + 4;
    m.section4_data_length = m.section4_length >= 4 ? m.section4_length - 4 : 0;
    m.edition = 4;
    m.total_length = len;
    return m;
}

Result<BufrMessage> parse_message_any_edition(ByteView buf) { return parse_message(buf); }

Result<std::vector<MessageRange>> split_messages(ByteView buf) {
    std::vector<MessageRange> out;
    const std::size_t len = buf.size();
    std::size_t p = 0;
    while (p < len && len - p >= 4) {
        const std::uint8_t* base = buf.data();
        const void* hit = memmem(base + p, len - p, kMarker, 4);
        if (hit == nullptr) break;
        const std::size_t m = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - base);
        if (len - m < 8) return BufrError::too_short();
        const std::size_t total = static_cast<std::size_t>(be24(base + m + 4));
        if (total > len - m) return BufrError::section_truncated(0, m);
        out.push_back({m, total});
        // A declared length shorter than the 8 bytes of section 0 (0 included)
        // still yields a range, which parsing later rejects as too short; the
        // scan moves past the marker so that it always advances.
        p = m + (total > 0 ? total : 4);
    }
    return out;
}

}  // namespace korvane
