// Where each edition keeps the identification fields of section 1: shared by
// the parser and the writer of messages.
#pragma once

#include <cstdint>

namespace korvane {

// One identification field of section 1: its offset from the start of the
// message and its width in octets, 0 for a field the edition does not have.
struct HeaderField {
    std::uint8_t offset = 0;
    std::uint8_t width = 0;
};

// Where an edition keeps the identification fields of section 1. Sections 0
// and 2 to 5 have one layout in editions 2, 3 and 4.
struct Section1Layout {
    HeaderField master_table;
    HeaderField centre;
    HeaderField subcentre;
    HeaderField update_sequence;
    HeaderField section2_flag;
    HeaderField data_category;
    HeaderField international_subcategory;
    HeaderField local_subcategory;
    HeaderField master_version;
    HeaderField local_version;
    HeaderField year;  // the year of the century when one octet wide
    HeaderField month;
    HeaderField day;
    HeaderField hour;
    HeaderField minute;
    HeaderField second;
};

inline constexpr Section1Layout kEdition4{{11, 1}, {12, 2}, {14, 2}, {16, 1}, {17, 1}, {18, 1},
                                   {19, 1}, {20, 1}, {21, 1}, {22, 1}, {23, 2}, {25, 1},
                                   {26, 1}, {27, 1}, {28, 1}, {29, 1}};
// Edition 3 has a one-octet sub-centre before a one-octet centre, a single
// (local) data sub-category, a year of the century and no second.
inline constexpr Section1Layout kEdition3{{11, 1}, {13, 1}, {12, 1}, {14, 1}, {15, 1}, {16, 1},
                                   {0, 0},  {17, 1}, {18, 1}, {19, 1}, {20, 1}, {21, 1},
                                   {22, 1}, {23, 1}, {24, 1}, {0, 0}};
// Edition 2 differs from 3 only in its two-octet centre and no sub-centre.
inline constexpr Section1Layout kEdition2{{11, 1}, {12, 2}, {0, 0},  {14, 1}, {15, 1}, {16, 1},
                                   {0, 0},  {17, 1}, {18, 1}, {19, 1}, {20, 1}, {21, 1},
                                   {22, 1}, {23, 1}, {24, 1}, {0, 0}};

}  // namespace korvane
