#include "tables/definitions.hpp"

#include "tables/eccodes.hpp"
#include "tables/files.hpp"

namespace korvane {

namespace {

std::string tables_dir(const std::string& root, const TableRequest& r) {
    return join_path(root, "bufr/tables/" + std::to_string(r.master_table));
}

}  // namespace

TableRequest table_request(const BufrMessage& m) noexcept {
    return TableRequest{m.master_table_number, m.master_tables_version_number, m.local_tables_version_number,
                        m.originating_centre, m.originating_subcentre};
}

std::string wmo_table_dir(const std::string& root, const TableRequest& r) {
    return join_path(tables_dir(root, r), "wmo/" + std::to_string(r.master_version));
}

std::string local_table_dir(const std::string& root, const TableRequest& r) {
    std::string version = std::to_string(r.local_version);
    // Local tables made for master version 19 live apart, as "19-L".
    if (r.master_version == 19) version = "19-" + version;
    return join_path(tables_dir(root, r), "local/" + version + "/" + std::to_string(r.centre) + "/" +
                                              std::to_string(r.subcentre));
}

Result<TableSet> load_table_directories(const std::string& wmo, const std::string& local, CodeTables code_tables) {
    const bool load_codes = code_tables != CodeTables::Skip;
    const bool keep_errors = code_tables == CodeTables::LoadKeepingErrors;
    TableSet tables;
    tables.set_origin(local.empty() ? wmo : wmo + " and " + local);
    KORVANE_TRY_VOID(load_eccodes_element_table(tables, join_path(wmo, "element.table")));
    KORVANE_TRY_VOID(load_eccodes_sequence_def(tables, join_path(wmo, "sequence.def")));
    const std::string wmo_codes = join_path(wmo, "codetables");
    if (load_codes && path_exists(wmo_codes))
        KORVANE_TRY_VOID(load_eccodes_code_tables(tables, wmo_codes, keep_errors));
    if (local.empty()) return tables;
    const std::string elements = join_path(local, "element.table");
    if (path_exists(elements)) KORVANE_TRY_VOID(load_eccodes_element_table(tables, elements));
    const std::string sequences = join_path(local, "sequence.def");
    if (path_exists(sequences)) KORVANE_TRY_VOID(load_eccodes_sequence_def(tables, sequences));
    const std::string codes = join_path(local, "codetables");
    if (load_codes && path_exists(codes)) KORVANE_TRY_VOID(load_eccodes_code_tables(tables, codes, keep_errors));
    return tables;
}

Result<TableSet> from_eccodes_definitions(const std::string& root, const BufrMessage& message,
                                          CodeTables code_tables) {
    const TableRequest request = table_request(message);
    KORVANE_TRY(const std::string wmo, resolve_eccodes_table_dir(wmo_table_dir(root, request)));
    std::string local;
    if (request.local_version != 0) {
        local = local_table_dir(root, request);
        if (!path_exists(local)) local.clear();
    }
    return load_table_directories(wmo, local, code_tables);
}

Result<std::optional<CodeTable>> code_table_from_definitions(const std::string& root, const TableRequest& request,
                                                             std::uint32_t code) {
    const std::string name = "codetables/" + std::to_string(code) + ".table";
    if (request.local_version != 0) {
        const std::string local = join_path(local_table_dir(root, request), name);
        if (is_regular_file(local)) {
            KORVANE_TRY(CodeTable table, load_eccodes_code_table(local));
            return std::optional<CodeTable>(std::move(table));
        }
    }
    KORVANE_TRY(const std::string wmo, resolve_eccodes_table_dir(wmo_table_dir(root, request)));
    const std::string path = join_path(wmo, name);
    if (!is_regular_file(path)) return std::optional<CodeTable>();
    KORVANE_TRY(CodeTable table, load_eccodes_code_table(path));
    return std::optional<CodeTable>(std::move(table));
}

}  // namespace korvane
