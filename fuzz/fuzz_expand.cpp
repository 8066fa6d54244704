// libFuzzer target: descriptor expansion over the WMO tables of the installed
// ecCodes definitions (the newest version there, loaded once). The input is a
// descriptor list in the form of section 3: two octets per descriptor, F in
// the top two bits, X in the next six, Y in the low eight. Any list must
// expand or fail with an error within the output and work bounds, and an
// expansion holds no sequence and no replication.
#include <dirent.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "descriptor/descriptor.hpp"
#include "tables/eccodes.hpp"
#include "tables/expand.hpp"

namespace {

const korvane::TableSet& tables() {
    static const korvane::TableSet loaded = [] {
        const std::string wmo = "/usr/share/eccodes/definitions/bufr/tables/0/wmo";
        int newest = -1;
        if (DIR* d = ::opendir(wmo.c_str())) {
            while (const dirent* e = ::readdir(d)) {
                char* end = nullptr;
                const long v = std::strtol(e->d_name, &end, 10);
                if (end != e->d_name && *end == '\0' && v > newest) newest = static_cast<int>(v);
            }
            ::closedir(d);
        }
        auto r = korvane::from_eccodes_dir(wmo + "/" + std::to_string(newest));
        if (!r) {
            std::fprintf(stderr, "cannot load the WMO tables under %s: %s\n", wmo.c_str(),
                         r.error().display().c_str());
            std::abort();
        }
        return std::move(r).value();
    }();
    return loaded;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const korvane::TableSet& t = tables();
    std::vector<std::uint32_t> codes;
    codes.reserve(size / 2);
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        const unsigned v = static_cast<unsigned>(data[i]) << 8 | data[i + 1];
        codes.push_back(korvane::pack_code(static_cast<std::uint8_t>(v >> 14),
                                           static_cast<std::uint8_t>((v >> 8) & 0x3F),
                                           static_cast<std::uint8_t>(v & 0xFF)));
    }
    auto out = korvane::expand_codes(t, codes);
    if (!out) {
        (void)out.error().display();
        return 0;
    }
    if (out->size() > korvane::kMaxExpandedCodes) __builtin_trap();
    for (std::uint32_t c : *out) {
        const std::uint8_t f = korvane::split_code(c).f;
        if (f == 1 || f == 3) __builtin_trap();
    }
    return 0;
}
