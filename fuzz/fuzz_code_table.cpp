// libFuzzer target: an ecCodes code table file (key, unused number, meaning
// per line) loaded from a codetables directory, then looked up. Any input
// must load or give an error, never a crash.
#include <cstddef>
#include <cstdint>

#include "input_file.hpp"
#include "tables/eccodes.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    (void)fuzz::write_input("001003.table", data, size);
    korvane::TableSet tables;
    auto r = korvane::load_eccodes_code_tables(tables, fuzz::scratch_dir(), false);
    if (!r) {
        (void)r.error().display();
        (void)r.error().describe();
        return 0;
    }
    const korvane::CodeTable* table = tables.find_code_table(1003);
    if (table == nullptr) __builtin_trap();  // a readable file always gives a table
    for (const auto& [key, meaning] : *table) {
        const auto found = tables.code_meaning(1003, key);
        if (!found || *found != meaning) __builtin_trap();
    }
    return 0;
}
