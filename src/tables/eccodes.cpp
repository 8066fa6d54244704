#include "tables/eccodes.hpp"

#include <array>
#include <string_view>
#include <utility>
#include <vector>

#include "tables/files.hpp"
#include "tables/parse.hpp"
#include "tables/record_reader.hpp"
#include "tables/text.hpp"

namespace korvane {

namespace {

// Calls fn(line) for each line of `text`, split at line feeds with a carriage
// return before the line feed dropped. A failure is that of the file at
// `path`, on the line fn was given.
template <typename Fn>
Result<void> for_each_line(std::string_view text, const std::string& path, Fn&& fn) {
    std::size_t start = 0;
    std::uint64_t number = 0;
    while (start < text.size()) {
        ++number;
        std::size_t end = text.find('\n', start);
        const std::size_t next = end == std::string_view::npos ? text.size() : end + 1;
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r' && end < text.size()) line.remove_suffix(1);
        if (Result<void> r = fn(line); !r) return std::move(r).error().at_file(path, number);
        start = next;
    }
    return Ok{};
}

// One sequence entry: CODE = [ MEMBER, MEMBER, ... ] with optional quotes.
Result<void> load_sequence_entry(TableSet& tables, std::string_view entry) {
    const std::size_t eq = entry.find('=');
    if (eq == std::string_view::npos) return Ok{};  // not an entry
    KORVANE_TRY(const std::uint32_t code, parse_code(entry.substr(0, eq)));
    const std::string_view rest = entry.substr(eq + 1);
    const std::size_t open = rest.find('[');
    const std::size_t close = rest.find(']');
    // A missing bracket, or a ] before the [, leaves no member list to read.
    if (open == std::string_view::npos || close == std::string_view::npos || close < open)
        return BufrError::table(std::string(entry));
    SequenceDefinition seq;
    seq.code = code;
    std::string_view list = rest.substr(open + 1, close - open - 1);
    for (;;) {
        const std::size_t comma = list.find(',');
        const std::string_view piece = trim_white_space(list.substr(0, comma));
        if (!piece.empty()) {
            KORVANE_TRY(const std::uint32_t member, parse_code(piece));
            seq.members.push_back(member);
        }
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    tables.insert_sequence(std::move(seq));
    return Ok{};
}

// code|abbreviation|type|name|unit|scale|reference|width, then the CREX unit,
// scale and width, which some local tables leave out row by row.
constexpr RecordDialect kElementDialect{'|', '#', false, 8};
constexpr std::size_t kElementFields = 8;

// One row of an element table, from its fields; rows of fewer fields are not
// elements and are passed over.
template <typename Field>
Result<void> load_element_row(TableSet& tables, std::size_t field_count, Field&& field) {
    if (field_count < kElementFields) return Ok{};
    ElementDefinition e;
    KORVANE_TRY(e.code, parse_code(field(0)));
    e.abbreviation = field(1);
    e.element_type = field(2);
    e.name = field(3);
    e.unit = field(4);
    KORVANE_TRY(e.scale, parse_i32(field(5)));
    KORVANE_TRY(e.reference, parse_i64(field(6)));
    KORVANE_TRY(e.width, parse_u16(field(7)));
    tables.insert_element(std::move(e));
    return Ok{};
}

bool plain_ascii(std::string_view text) noexcept {
    // No early exit: the loop then runs on vectors.
    unsigned char high = 0;
    bool cr = false;
    for (const char c : text) {
        high |= static_cast<unsigned char>(c);
        cr |= c == '\r';
    }
    return high < 0x80 && !cr;
}

// The common shape of an element table: ASCII text, lines ended by a line
// feed alone, no field opening with a quote. The record reader makes of such
// a text exactly its lines split at the separator, which is read here from the
// whole file at once in a fraction of the time (the table is loaded on the
// start of every command). Returns false, having loaded nothing that matters,
// when the text has another shape: the record reader then reads it all again,
// with its rules for quotes and line ends and its error texts.
Result<bool> load_plain_element_table(TableSet& tables, std::string_view text, const std::string& path) {
    if (!plain_ascii(text)) return false;
    std::array<std::string_view, 16> fields;
    std::size_t expected = 0;
    bool first = true;
    std::size_t pos = 0;
    std::uint64_t number = 0;
    while (pos < text.size()) {
        ++number;
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        if (line.empty() || line.front() == kElementDialect.comment) continue;
        std::size_t n = 0;
        std::size_t start = 0;
        for (;;) {
            const std::size_t bar = line.find(kElementDialect.separator, start);
            const std::string_view f = line.substr(start, bar == std::string_view::npos ? line.npos : bar - start);
            if (n == fields.size() || (!f.empty() && f.front() == '"')) return false;
            fields[n++] = f;
            if (bar == std::string_view::npos) break;
            start = bar + 1;
        }
        if (first) {
            expected = n;
            first = false;
        } else if (n != expected && !(n >= kElementDialect.optional_after && expected >= kElementDialect.optional_after)) {
            return false;  // the record reader reports the count
        }
        if (Result<void> r = load_element_row(tables, n, [&](std::size_t i) { return fields[i]; }); !r)
            return std::move(r).error().at_file(path, number);
    }
    return true;
}

}  // namespace

Result<void> load_eccodes_element_table(TableSet& tables, const std::string& path) {
    if (Result<std::string> text = read_file(path)) {
        KORVANE_TRY(const bool loaded, load_plain_element_table(tables, *text, path));
        if (loaded) return Ok{};
    }
    Result<RecordReader> opened = RecordReader::open(path, kElementDialect);
    if (!opened) return std::move(opened).error().at_file(path);
    RecordReader& reader = *opened;
    for (;;) {
        Result<bool> got = reader.next();
        if (!got) return std::move(got).error().at_file(path, reader.record_line());
        if (!*got) return Ok{};
        if (Result<void> r = load_element_row(tables, reader.field_count(),
                                              [&](std::size_t i) { return reader.field(i); });
            !r)
            return std::move(r).error().at_file(path, reader.record_line());
    }
}

Result<void> load_eccodes_sequence_def(TableSet& tables, const std::string& path) {
    Result<std::string> read = read_text_file(path);
    if (!read) return std::move(read).error().at_file(path);
    const std::string& text = *read;
    // An entry may span lines: its lines are collected, joined by single
    // spaces, until one of them holds the closing bracket.
    std::string entry;
    KORVANE_TRY_VOID(for_each_line(text, path, [&](std::string_view raw) -> Result<void> {
        const std::string_view line = trim_white_space(raw);
        if (line.empty() || line.front() == '#') return Ok{};
        if (!entry.empty()) entry += ' ';
        entry.append(line);
        if (line.find(']') == std::string_view::npos) return Ok{};
        auto r = load_sequence_entry(tables, entry);
        entry.clear();
        return r;
    }));
    return Ok{};
}

Result<CodeTable> load_eccodes_code_table(const std::string& path) {
    Result<std::string> read = read_text_file(path);
    if (!read) return std::move(read).error().at_file(path);
    const std::string& text = *read;
    std::vector<std::string_view> tokens;
    std::string meaning;
    CodeTable table;
    KORVANE_TRY_VOID(for_each_line(text, path, [&](std::string_view raw) -> Result<void> {
        const std::string_view line = trim_white_space(raw);
        if (line.empty() || line.front() == '#') return Ok{};
        split_white_space(line, tokens);
        // Key, a second number that is not used, then the meaning.
        if (tokens.size() < 3) return Ok{};
        meaning.assign(tokens[2]);
        for (std::size_t i = 3; i < tokens.size(); ++i) {
            meaning += ' ';
            meaning.append(tokens[i]);
        }
        KORVANE_TRY(const std::uint64_t key, parse_code_table_key(tokens[0]));
        table.insert_or_assign(key, meaning);
        return Ok{};
    }));
    return table;
}

Result<void> load_eccodes_code_tables(TableSet& tables, const std::string& dir, bool keep_errors) {
    Result<std::vector<std::string>> listed = matching_files(dir, "", ".table");
    if (!listed) return std::move(listed).error().at_file(dir);
    for (const std::string& path : *listed) {
        const std::string_view stem = file_stem(file_name(path));
        if (stem.empty() || !is_valid_utf8(stem)) continue;
        Result<std::uint32_t> code = parse_code(stem);
        if (!code) {
            if (keep_errors) continue;  // no element's table
            return std::move(code).error().at_file(path);
        }
        Result<CodeTable> table = load_eccodes_code_table(path);
        if (table)
            tables.insert_code_table(*code, std::move(table).value());
        else if (keep_errors)
            tables.insert_code_table_error(*code, std::move(table).error());
        else
            return std::move(table).error();
    }
    return Ok{};
}

Result<TableSet> from_eccodes_dir(const std::string& dir) {
    TableSet tables;
    KORVANE_TRY_VOID(load_eccodes_element_table(tables, join_path(dir, "element.table")));
    KORVANE_TRY_VOID(load_eccodes_sequence_def(tables, join_path(dir, "sequence.def")));
    const std::string codetables = join_path(dir, "codetables");
    if (path_exists(codetables)) KORVANE_TRY_VOID(load_eccodes_code_tables(tables, codetables, false));
    tables.set_origin(dir);
    return tables;
}

Result<std::string> resolve_eccodes_table_dir(const std::string& path) {
    std::string current = path;
    for (int aliases = 0;; ++aliases) {
        if (is_directory(current)) return current;
        if (!is_regular_file(current))
            return BufrError::table("ecCodes table directory does not exist: " + current).at_file(current);
        // Alias files that lead back to themselves would be followed forever.
        if (aliases == kMaxAliasSteps)
            return BufrError::table("ecCodes table alias chain from " + path +
                                    " does not reach a directory within " +
                                    std::to_string(kMaxAliasSteps) + " aliases")
                .at_file(path);
        Result<std::string> read = read_text_file(current);
        if (!read) return std::move(read).error().at_file(current);
        const std::string_view alias = trim_white_space(*read);
        if (alias.empty() || alias.find('/') != std::string_view::npos ||
            alias.find('\\') != std::string_view::npos)
            return BufrError::table("invalid ecCodes table alias " + current + " -> " + quoted_text(alias))
                .at_file(current);
        const std::optional<std::string> parent = parent_path(current);
        if (!parent) return BufrError::table("ecCodes table directory does not exist: " + current).at_file(current);
        current = join_path(*parent, alias);
    }
}

}  // namespace korvane
