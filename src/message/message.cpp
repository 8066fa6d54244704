#include "message/message.hpp"

#include <cstring>

#include "descriptor/descriptor.hpp"
#include "message/layout.hpp"

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

// The value of a field, or `absent` for a field the layout lacks.
Result<std::uint16_t> read_field(ByteView buf, HeaderField f, std::uint16_t absent = 0) {
    if (f.width == 0) return absent;
    if (f.width == 2) return read_u16(buf, f.offset);
    KORVANE_TRY(const std::uint8_t b, read_header_byte(buf, f.offset));
    return b;
}

template <typename T>
Result<void> read_into(T& out, ByteView buf, HeaderField f, std::uint16_t absent = 0) {
    KORVANE_TRY(const std::uint16_t v, read_field(buf, f, absent));
    out = static_cast<T>(v);
    return Ok{};
}

// The frame of a message whose section 1 has `layout`: sections 1 to 5 and
// the identification fields. The marker and edition are already checked.
Result<BufrMessage> parse_frame(ByteView buf, const Section1Layout& layout) {
    const std::uint64_t len = buf.size();
    const std::uint64_t declared = be24(buf.data() + 4);
    if (declared != len) return BufrError::length_mismatch(declared, len);
    if (len <= 10) return BufrError::section_truncated(1, 8);

    BufrMessage m;
    m.section1_length = be24(buf.data() + 8);
    const std::uint64_t end1 = 8 + m.section1_length;
    if (end1 > len) return BufrError::section_truncated(1, 8);

    KORVANE_TRY(const std::uint16_t section2_flag, read_field(buf, layout.section2_flag));
    KORVANE_TRY(const std::uint16_t year, read_field(buf, layout.year));
    // A year of the century is taken to lie in the 21st century, as ecCodes
    // reads editions 2 and 3.
    m.typical_year = layout.year.width == 1 ? static_cast<std::uint16_t>(2000 + year) : year;

    if (section2_flag != 0) {
        KORVANE_TRY(m.section2_length, read_section_length(buf, end1, 2));
        if (!fits(len, end1, m.section2_length)) return BufrError::section_truncated(2, end1);
    }

    const std::uint64_t start3 = end1 + m.section2_length;
    KORVANE_TRY(m.section3_length, read_section_length(buf, start3, 3));
    if (!fits(len, start3, m.section3_length)) return BufrError::section_truncated(3, start3);
    if (m.section3_length < 7) return BufrError::section_too_short(3, start3, m.section3_length, 7);

    KORVANE_TRY(m.number_of_subsets, read_u16(buf, start3 + 4));
    const std::uint8_t flags = buf[start3 + 6];
    m.observed_data = (flags & 0x80) != 0;
    m.compressed_data = (flags & 0x40) != 0;

    // Editions 2 and 3 pad every section to an even length, and encoders keep
    // the habit in edition 4. A lone last octet cannot be half a descriptor:
    // it is padding, whatever value the encoder left in it.
    const std::uint64_t area = (m.section3_length - 7) & ~std::uint64_t{1};
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

    m.local_section_present = section2_flag != 0;
    KORVANE_TRY_VOID(read_into(m.master_table_number, buf, layout.master_table));
    KORVANE_TRY_VOID(read_into(m.originating_centre, buf, layout.centre));
    KORVANE_TRY_VOID(read_into(m.originating_subcentre, buf, layout.subcentre));
    KORVANE_TRY_VOID(read_into(m.update_sequence_number, buf, layout.update_sequence));
    KORVANE_TRY_VOID(read_into(m.data_category, buf, layout.data_category));
    // Without an international sub-category the field holds 255, its missing
    // value, as when ecCodes turns an edition 3 message into edition 4.
    KORVANE_TRY_VOID(read_into(m.international_data_subcategory, buf, layout.international_subcategory, 255));
    KORVANE_TRY_VOID(read_into(m.local_data_subcategory, buf, layout.local_subcategory));
    KORVANE_TRY_VOID(read_into(m.master_tables_version_number, buf, layout.master_version));
    KORVANE_TRY_VOID(read_into(m.local_tables_version_number, buf, layout.local_version));
    KORVANE_TRY_VOID(read_into(m.typical_month, buf, layout.month));
    KORVANE_TRY_VOID(read_into(m.typical_day, buf, layout.day));
    KORVANE_TRY_VOID(read_into(m.typical_hour, buf, layout.hour));
    KORVANE_TRY_VOID(read_into(m.typical_minute, buf, layout.minute));
    KORVANE_TRY_VOID(read_into(m.typical_second, buf, layout.second));

    m.section4_data_offset = start4 + 4;
    m.section4_data_length = m.section4_length >= 4 ? m.section4_length - 4 : 0;
    m.edition = buf[7];
    m.total_length = len;
    return m;
}

// Section 0 up to the edition octet: the layout of section 1 for that
// edition, or the error that stops parsing.
Result<const Section1Layout*> check_start(ByteView buf, bool any_edition) {
    if (buf.size() < 8) return BufrError::too_short();
    if (std::memcmp(buf.data(), kMarker, 4) != 0) return BufrError::missing_marker();
    const std::uint8_t edition = buf[7];
    if (edition == 4) return &kEdition4;
    if (any_edition && edition == 3) return &kEdition3;
    if (any_edition && edition == 2) return &kEdition2;
    return BufrError::unsupported_edition(edition);
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
    KORVANE_TRY(const Section1Layout* layout, check_start(buf, false));
    return parse_frame(buf, *layout);
}

Result<BufrMessage> parse_message_any_edition(ByteView buf) {
    KORVANE_TRY(const Section1Layout* layout, check_start(buf, true));
    return parse_frame(buf, *layout);
}

namespace {

// The offset of the first "BUFR" at or after `from`, or the buffer's size when
// there is none. The C library's vectorised memchr finds each candidate first
// byte and the other three are compared there: portable (memmem is a C library
// extension), and no slower than glibc's memmem unless the bytes between
// messages are mostly 'B'.
std::size_t find_marker(ByteView buf, std::size_t from) {
    const std::uint8_t* base = buf.data();
    const std::size_t len = buf.size();
    while (from < len && len - from >= 4) {
        const void* hit = std::memchr(base + from, kMarker[0], len - from - 3);
        if (hit == nullptr) break;
        const std::size_t at = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - base);
        if (std::memcmp(base + at + 1, kMarker + 1, 3) == 0) return at;
        from = at + 1;
    }
    return len;
}

}  // namespace

Result<std::vector<MessageRange>> split_messages(ByteView buf) {
    std::vector<MessageRange> out;
    const std::size_t len = buf.size();
    std::size_t p = 0;
    while (p < len && len - p >= 4) {
        const std::uint8_t* base = buf.data();
        const std::size_t m = find_marker(buf, p);
        if (m == len) break;
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

Result<void> scan_messages(ByteView buf, ScanSink& sink, const Interrupt& interrupt) {
    // Asked whether to stop after every so many bytes (some 10 ms of work),
    // also in a long stretch without any marker.
    constexpr std::size_t kPollBytes = std::size_t{64} << 20;
    const std::size_t len = buf.size();
    std::uint64_t index = 0;
    std::size_t p = 0;
    std::size_t polled = 0;
    while (len - p >= 4) {
        if (p - polled >= kPollBytes) {
            if (interrupt.requested()) return BufrError::interrupted();
            polled = p;
        }
        const std::size_t stop = len - p > kPollBytes + 3 ? p + kPollBytes + 3 : len;
        const std::size_t found = find_marker(buf.first(stop), p);
        if (found == stop) {
            if (stop == len) break;
            p = stop - 3;  // a marker may straddle the window's end
            continue;
        }
        p = found;
        const std::size_t remaining = len - p;
        const std::uint64_t declared = remaining >= 7 ? be24(buf.data() + p + 4) : 0;
        if (remaining < 8 || declared > remaining) {
            // The input ends inside the message (a file still being written,
            // or cut short); a sound message may still start inside it.
            sink.problem(index++, p, remaining, BufrError::message_cut(p, declared, remaining));
            p += 4;
            continue;
        }
        const auto total = static_cast<std::size_t>(declared);
        if (total < 8) {
            sink.problem(index++, p, total, BufrError::declares_too_few(total));
            p += 4;
            continue;
        }
        Result<BufrMessage> parsed = parse_message_any_edition(buf.subspan(p, total));
        if (!parsed) {
            sink.problem(index++, p, total, std::move(parsed).error());
            p += 4;
            continue;
        }
        // The sections and "7777" must fill the declared length: a length
        // that covers the next message, or bytes between "7777" and the
        // declared end, mean the lengths are damaged.
        const BufrMessage& m = *parsed;
        const std::uint64_t end = m.section4_data_offset - 4 + m.section4_length + 4;
        if (end != total) {
            sink.problem(index++, p, total, BufrError::lengths_disagree(total, end));
            p += 4;
            continue;
        }
        sink.message(index++, p, std::move(parsed).value());
        p += total;
    }
    return Ok{};
}

}  // namespace korvane
