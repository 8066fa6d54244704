#include "message/write.hpp"

#include <array>
#include <cstring>
#include <string>

#include "descriptor/descriptor.hpp"
#include "message/layout.hpp"

namespace korvane {

namespace {

constexpr std::uint64_t kMaxLength = (std::uint64_t{1} << 24) - 1;  // three octets
constexpr std::uint64_t kSection0 = 8;

const Section1Layout* layout_of(std::uint8_t edition) {
    switch (edition) {
    case 4: return &kEdition4;
    case 3: return &kEdition3;
    case 2: return &kEdition2;
    default: return nullptr;
    }
}

// The value each identification field is written with.
struct FieldValue {
    HeaderField field;
    std::uint64_t value;
    const char* name;
};

// The year as the edition writes it: whole in edition 4, else its year of
// the century, counted from 2000 so that a message read back (years
// 2000 + octet) gives the year again.
Result<std::uint64_t> year_field(const BufrMessage& h, const Section1Layout& layout) {
    if (layout.year.width == 2) return std::uint64_t{h.typical_year};
    if (h.typical_year >= 2000 && h.typical_year <= 2255) return std::uint64_t{h.typical_year - 2000u};
    if (h.typical_year > 1900 && h.typical_year < 2000) return std::uint64_t{h.typical_year - 1900u};
    return BufrError::table("typical_year " + std::to_string(h.typical_year) + " cannot be written in edition " +
                            std::to_string(h.edition) + ", which holds the year of the century");
}

Result<std::array<FieldValue, 16>> field_values(const BufrMessage& h, const Section1Layout& layout,
                                                bool section2) {
    KORVANE_TRY(const std::uint64_t year, year_field(h, layout));
    return std::array<FieldValue, 16>{{
        {layout.master_table, h.master_table_number, "master_table_number"},
        {layout.centre, h.originating_centre, "originating_centre"},
        {layout.subcentre, h.originating_subcentre, "originating_subcentre"},
        {layout.update_sequence, h.update_sequence_number, "update_sequence_number"},
        {layout.section2_flag, section2 ? 0x80u : 0u, "local_section_present"},
        {layout.data_category, h.data_category, "data_category"},
        {layout.international_subcategory, h.international_data_subcategory, "international_data_subcategory"},
        {layout.local_subcategory, h.local_data_subcategory, "local_data_subcategory"},
        {layout.master_version, h.master_tables_version_number, "master_tables_version_number"},
        {layout.local_version, h.local_tables_version_number, "local_tables_version_number"},
        {layout.year, year, "typical_year"},
        {layout.month, h.typical_month, "typical_month"},
        {layout.day, h.typical_day, "typical_day"},
        {layout.hour, h.typical_hour, "typical_hour"},
        {layout.minute, h.typical_minute, "typical_minute"},
        {layout.second, h.typical_second, "typical_second"},
    }};
}

// The octets of section 1 that its identification fields take.
std::uint64_t section1_fields_length(const Section1Layout& layout) {
    std::uint64_t end = 0;
    for (const HeaderField f : {layout.master_table, layout.centre, layout.subcentre, layout.update_sequence,
                                layout.section2_flag, layout.data_category, layout.international_subcategory,
                                layout.local_subcategory, layout.master_version, layout.local_version,
                                layout.year, layout.month, layout.day, layout.hour, layout.minute, layout.second})
        if (f.width != 0 && std::uint64_t{f.offset} + f.width > end) end = std::uint64_t{f.offset} + f.width;
    return end - kSection0;
}

struct SectionLengths {
    std::uint64_t s1, s2, s3, s4;
};

SectionLengths section_lengths(const BufrMessage& h, const Section1Layout& layout, const MessageParts& parts,
                               std::uint64_t data_bytes) {
    auto padded = [&](std::uint64_t n, unsigned section) {
        return n + ((parts.even >> (section - 1)) & 1u & n);
    };
    SectionLengths l{};
    l.s1 = padded(section1_fields_length(layout) + parts.section1_local.size(), 1);
    l.s2 = parts.section2 ? padded(4 + parts.section2->size(), 2) : 0;
    l.s3 = padded(7 + 2 * std::uint64_t{h.unexpanded_descriptors.size()}, 3);
    l.s4 = padded(4 + data_bytes, 4);
    return l;
}

void put(std::uint8_t* p, std::uint64_t value, unsigned octets) {
    for (unsigned i = 0; i < octets; ++i) p[i] = static_cast<std::uint8_t>(value >> (8 * (octets - 1 - i)));
}

}  // namespace

Result<std::uint64_t> message_length(const BufrMessage& h, const MessageParts& parts, std::uint64_t data_bytes) {
    const Section1Layout* layout = layout_of(h.edition);
    if (layout == nullptr)
        return BufrError::table("edition " + std::to_string(h.edition) + " cannot be written (editions 2 to 4 can)");
    KORVANE_TRY(const auto fields, field_values(h, *layout, parts.section2.has_value()));
    for (const FieldValue& f : fields) {
        if (f.field.width == 0) continue;
        if (f.value >> (8 * f.field.width) != 0)
            return BufrError::table(std::string(f.name) + " " + std::to_string(f.value) + " does not fit its " +
                                    (f.field.width == 1 ? "octet" : std::to_string(f.field.width) + " octets") +
                                    " in edition " + std::to_string(h.edition));
    }
    for (const std::uint32_t code : h.unexpanded_descriptors) {
        const Fxy d = split_code(code);
        if (code > 363255 || pack_code(d.f, d.x, d.y) != code)
            return BufrError::table("descriptor " + padded_code(code) + " is not a descriptor F XX YYY");
    }
    const SectionLengths l = section_lengths(h, *layout, parts, data_bytes);
    const std::pair<std::uint64_t, int> sections[] = {{l.s1, 1}, {l.s2, 2}, {l.s3, 3}, {l.s4, 4}};
    for (const auto& [length, number] : sections)
        if (length > kMaxLength)
            return BufrError::table("section " + std::to_string(number) + " would be " + std::to_string(length) +
                                    " octets long, more than the 16777215 that its length field can state");
    const std::uint64_t total = kSection0 + l.s1 + l.s2 + l.s3 + l.s4 + 4;
    if (total > kMaxLength)
        return BufrError::table("the message would be " + std::to_string(total) +
                                " octets long, more than the 16777215 that section 0 can state");
    return total;
}

void write_message(std::span<std::uint8_t> out, const BufrMessage& h, const MessageParts& parts, ByteView data) {
    const std::uint64_t at = write_frame(out, h, parts, data.size());
    if (!data.empty()) std::memcpy(out.data() + at, data.data(), data.size());
}

std::uint64_t write_frame(std::span<std::uint8_t> out, const BufrMessage& h, const MessageParts& parts,
                          std::uint64_t data_bytes) {
    const Section1Layout& layout = *layout_of(h.edition);
    const SectionLengths l = section_lengths(h, layout, parts, data_bytes);
    std::memset(out.data(), 0, out.size());
    std::uint8_t* p = out.data();
    std::memcpy(p, "BUFR", 4);
    put(p + 4, out.size(), 3);
    p[7] = h.edition;

    // Section 1: the fields at their offsets from the start of the message.
    put(p + kSection0, l.s1, 3);
    const auto fields = field_values(h, layout, parts.section2.has_value());  // message_length checked them
    for (const FieldValue& f : fields.value())
        if (f.field.width != 0) put(p + f.field.offset, f.value, f.field.width);
    std::uint8_t* at = p + kSection0 + section1_fields_length(layout);
    if (!parts.section1_local.empty()) std::memcpy(at, parts.section1_local.data(), parts.section1_local.size());
    at = p + kSection0 + l.s1;

    if (parts.section2) {
        put(at, l.s2, 3);
        if (!parts.section2->empty()) std::memcpy(at + 4, parts.section2->data(), parts.section2->size());
        at += l.s2;
    }

    put(at, l.s3, 3);
    put(at + 4, h.number_of_subsets, 2);
    at[6] = static_cast<std::uint8_t>((h.observed_data ? 0x80 : 0) | (h.compressed_data ? 0x40 : 0));
    for (std::size_t i = 0; i < h.unexpanded_descriptors.size(); ++i) {
        const Fxy d = split_code(h.unexpanded_descriptors[i]);
        at[7 + 2 * i] = static_cast<std::uint8_t>((d.f << 6) | d.x);
        at[8 + 2 * i] = d.y;
    }
    at += l.s3;

    put(at, l.s4, 3);
    const auto data_offset = static_cast<std::uint64_t>(at + 4 - p);
    at += l.s4;
    std::memcpy(at, "7777", 4);
    return data_offset;
}

}  // namespace korvane
