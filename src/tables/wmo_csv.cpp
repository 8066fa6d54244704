#include "tables/wmo_csv.hpp"

#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tables/files.hpp"
#include "tables/parse.hpp"
#include "tables/record_reader.hpp"

namespace korvane {

namespace {

constexpr RecordDialect kWmoCsv{',', '\0', true};

// The value type that the unit implies; the CSV files have no type column.
const char* element_type_of(std::string_view unit) noexcept {
    if (unit == "Code table") return "code";
    if (unit == "Flag table") return "flags";
    if (unit == "CCITT IA5") return "string";
    return "long";
}

}  // namespace

namespace {

Result<void> read_table_b(TableSet& tables, RecordReader& reader) {
    for (;;) {
        KORVANE_TRY(const bool got, reader.next());
        if (!got) return Ok{};
        // Class number, class name, FXY, name, unit, scale, reference, width.
        if (reader.field_count() < 8) continue;
        ElementDefinition e;
        KORVANE_TRY(e.code, parse_code(reader.field(2)));
        e.element_type = element_type_of(reader.field(4));
        e.name = reader.field(3);
        e.unit = reader.field(4);
        KORVANE_TRY(e.scale, parse_i32(reader.field(5)));
        KORVANE_TRY(e.reference, parse_i64(reader.field(6)));
        KORVANE_TRY(e.width, parse_u16(reader.field(7)));
        tables.insert_element(std::move(e));
    }
}

Result<void> read_table_d(TableSet& tables, RecordReader& reader) {
    // One member per row; rows of one sequence need not be adjacent.
    std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> sequences;
    for (;;) {
        KORVANE_TRY(const bool got, reader.next());
        if (!got) break;
        if (reader.field_count() < 6) continue;
        KORVANE_TRY(const std::uint32_t code, parse_code(reader.field(2)));
        KORVANE_TRY(const std::uint32_t member, parse_code(reader.field(5)));
        sequences[code].push_back(member);
    }
    for (auto& [code, members] : sequences) tables.insert_sequence(SequenceDefinition{code, std::move(members)});
    return Ok{};
}

// A failure names the file and the line of the record being read.
template <typename Read>
Result<void> load_csv(TableSet& tables, const std::string& path, Read read) {
    Result<RecordReader> opened = RecordReader::open(path, kWmoCsv);
    if (!opened) return std::move(opened).error().at_file(path);
    if (Result<void> r = read(tables, *opened); !r) return std::move(r).error().at_file(path, opened->record_line());
    return Ok{};
}

}  // namespace

Result<void> load_bufr4_table_b(TableSet& tables, const std::string& path) {
    return load_csv(tables, path, read_table_b);
}

Result<void> load_bufr4_table_d(TableSet& tables, const std::string& path) {
    return load_csv(tables, path, read_table_d);
}

Result<TableSet> from_bufr4_45_dir(const std::string& dir) {
    TableSet tables;
    KORVANE_TRY(const std::vector<std::string> b_files, matching_files(dir, "BUFRCREX_TableB_en_", ".csv"));
    for (const std::string& path : b_files) KORVANE_TRY_VOID(load_bufr4_table_b(tables, path));
    KORVANE_TRY(const std::vector<std::string> d_files, matching_files(dir, "BUFR_TableD_en_", ".csv"));
    for (const std::string& path : d_files) KORVANE_TRY_VOID(load_bufr4_table_d(tables, path));
    tables.set_origin(dir);
    return tables;
}

}  // namespace korvane
