// libFuzzer target: an ecCodes element.table (| separated records, # comments)
// through the record reader and the field parsers. Any input must load or
// give a Table error, never a crash or a read outside the buffers.
#include <cstddef>
#include <cstdint>

#include "input_file.hpp"
#include "tables/eccodes.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = fuzz::write_input("element.table", data, size);
    korvane::TableSet tables;
    auto r = korvane::load_eccodes_element_table(tables, path);
    if (!r) (void)r.error().display();
    // Every stored element is found again under its own code.
    for (std::uint32_t code : {1001u, 12101u, 33007u})
        if (const auto* e = tables.find_element(code); e != nullptr && e->code != code) __builtin_trap();
    return 0;
}
