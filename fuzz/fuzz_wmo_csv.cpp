// libFuzzer target: the WMO comma-separated Table B and Table D files. Each
// input is read both ways, as a Table B file and as a Table D file, through
// the record reader (quoted fields, a header row, CR/LF/CRLF line ends). Any
// input must load or give a Table error, never a crash.
#include <cstddef>
#include <cstdint>

#include "input_file.hpp"
#include "tables/wmo_csv.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = fuzz::write_input("table.csv", data, size);
    korvane::TableSet b;
    auto rb = korvane::load_bufr4_table_b(b, path);
    if (!rb) (void)rb.error().display();
    korvane::TableSet d;
    auto rd = korvane::load_bufr4_table_d(d, path);
    if (!rd) (void)rd.error().display();
    return 0;
}
