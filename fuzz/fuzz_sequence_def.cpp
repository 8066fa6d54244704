// libFuzzer target: an ecCodes sequence.def (CODE = [ MEMBER, ... ] entries,
// possibly over several lines), then the expansion of every sequence the text
// names, which exercises self-reference, cycles and deep chains. Any input
// must load or fail with a Table error, and every expansion must finish
// within its bounds.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "input_file.hpp"
#include "tables/eccodes.hpp"
#include "tables/expand.hpp"
#include "tables/parse.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = fuzz::write_input("sequence.def", data, size);
    korvane::TableSet tables;
    auto r = korvane::load_eccodes_sequence_def(tables, path);
    if (!r) (void)r.error().display();
    // The codes before each '=' of the text, as the loader reads them.
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::size_t line_start = 0;
    unsigned expanded = 0;
    while (line_start < text.size() && expanded < 16) {
        std::size_t line_end = text.find('\n', line_start);
        if (line_end == std::string_view::npos) line_end = text.size();
        const std::string_view line = text.substr(line_start, line_end - line_start);
        line_start = line_end + 1;
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos) continue;
        auto code = korvane::parse_code(line.substr(0, eq));
        if (!code || tables.find_sequence(*code) == nullptr) continue;
        ++expanded;
        const std::uint32_t one[] = {*code};
        auto out = korvane::expand_codes(tables, one);
        if (out && out->size() > korvane::kMaxExpandedCodes) __builtin_trap();
        if (!out) (void)out.error().display();
    }
    return 0;
}
