// The frame of one BUFR message: sections 0 to 5, the identification fields of
// section 1, the descriptors of section 3 and where section 4's data lies. The
// record keeps offsets, never the message bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "error/error.hpp"
#include "error/interrupt.hpp"

namespace korvane {

using ByteView = std::span<const std::uint8_t>;

struct BufrMessage {
    std::uint64_t total_length = 0;
    std::uint8_t edition = 0;
    std::uint64_t section1_length = 0;
    std::uint8_t master_table_number = 0;
    std::uint16_t originating_centre = 0;
    std::uint16_t originating_subcentre = 0;
    std::uint8_t update_sequence_number = 0;
    bool local_section_present = false;
    std::uint8_t data_category = 0;
    std::uint8_t international_data_subcategory = 0;
    std::uint8_t local_data_subcategory = 0;
    std::uint8_t master_tables_version_number = 0;
    std::uint8_t local_tables_version_number = 0;
    std::uint16_t typical_year = 0;
    std::uint8_t typical_month = 0;
    std::uint8_t typical_day = 0;
    std::uint8_t typical_hour = 0;
    std::uint8_t typical_minute = 0;
    std::uint8_t typical_second = 0;
    std::uint64_t section2_length = 0;
    std::uint64_t section3_length = 0;
    std::uint16_t number_of_subsets = 0;
    bool observed_data = false;
    bool compressed_data = false;
    std::vector<std::uint32_t> unexpanded_descriptors;
    std::uint64_t section4_length = 0;
    std::uint64_t section4_data_offset = 0;
    std::uint64_t section4_data_length = 0;

    // The bytes of section 4 after its 4-byte header, given the message bytes
    // this record was parsed from.
    ByteView section4_data(ByteView message) const {
        return message.subspan(section4_data_offset, section4_data_length);
    }
};

// The 24-bit big-endian length at `offset`, or SectionTruncated(section, offset).
Result<std::uint64_t> read_section_length(ByteView buf, std::uint64_t offset, std::uint8_t section);
// The 16-bit big-endian value at `offset`, or SectionTruncated(0, offset).
Result<std::uint16_t> read_u16(ByteView buf, std::uint64_t offset);

// Parses a buffer holding exactly one edition 4 message; any other edition is
// UnsupportedEdition.
Result<BufrMessage> parse_message(ByteView buf);

// Parses a buffer holding exactly one message of edition 2, 3 or 4; editions
// 0, 1 and above 4 are UnsupportedEdition. Fields that edition 2 or 3 lacks
// take the values ecCodes gives them: sub-centre 0 (edition 2), international
// data sub-category 255, typical second 0; their year of the century is read
// as a year of the 21st century.
Result<BufrMessage> parse_message_any_edition(ByteView buf);

// One message found in a larger buffer.
struct MessageRange {
    std::size_t start;
    std::size_t length;
};

// Finds the messages in a buffer by their "BUFR" markers and section 0 lengths.
Result<std::vector<MessageRange>> split_messages(ByteView buf);

// What scan_messages finds, message by message, in the order of the input.
// Messages are numbered from 0 in that order, damaged ones included.
class ScanSink {
public:
    virtual ~ScanSink() = default;
    // A message whose frame is sound, at `offset`, `message.total_length` bytes.
    virtual void message(std::uint64_t index, std::uint64_t offset, BufrMessage&& message) = 0;
    // A damaged message at `offset`: `length` bytes are taken as its extent
    // (its declared length, or what remains of a message cut short).
    virtual void problem(std::uint64_t index, std::uint64_t offset, std::uint64_t length, BufrError error) = 0;
};

// Every message of a buffer of any edition from 2 to 4, for a reader of
// whole files. Bytes before, between and after messages (bulletin headings,
// padding) are passed over. A message is sound only when "7777" ends it at
// its declared length and its sections fill the space before; one that is
// not is reported (a declared length that runs past the end of the input
// too, as MessageCut), and the scan goes on at the next "BUFR" after its
// marker, so that no sound message after it is lost. Fails only when
// `interrupt` asks it to stop.
Result<void> scan_messages(ByteView buf, ScanSink& sink, const Interrupt& interrupt = {});

}  // namespace korvane
