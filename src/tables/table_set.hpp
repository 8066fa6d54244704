// The in-memory BUFR tables: Table B elements, Table D sequences and the code
// and flag tables, each keyed by descriptor code. Loaders fill a TableSet; once
// built it is only read, so references and views into it stay valid for its life.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "error/error.hpp"

namespace korvane {

struct ElementDefinition {
    std::uint32_t code = 0;
    std::string abbreviation;
    std::string element_type;
    std::string name;
    std::string unit;
    std::int32_t scale = 0;
    std::int64_t reference = 0;
    std::uint16_t width = 0;
};

struct SequenceDefinition {
    std::uint32_t code = 0;
    std::vector<std::uint32_t> members;
};

using CodeTable = std::unordered_map<std::uint64_t, std::string>;

class TableSet {
public:
    // Inserting under a code already present replaces the earlier entry whole.
    void insert_element(ElementDefinition e);
    void insert_sequence(SequenceDefinition s);
    void insert_code_table(std::uint32_t code, CodeTable table);

    const ElementDefinition* find_element(std::uint32_t code) const;
    const SequenceDefinition* find_sequence(std::uint32_t code) const;
    // The code table of an element, or null when it has none: lets a decoder
    // look the table up once per element and then only the raw value.
    const CodeTable* find_code_table(std::uint32_t code) const;
    // The meaning of `raw` in the code table of element `code`. The view lives
    // as long as this TableSet.
    std::optional<std::string_view> code_meaning(std::uint32_t code, std::uint64_t raw) const;

    // Where the tables were read from (directories), for error texts; empty
    // for a set built otherwise.
    const std::string& origin() const noexcept { return origin_; }
    void set_origin(std::string origin) { origin_ = std::move(origin); }

    // A code table that could not be read, kept so that only what needs it
    // fails (see from_eccodes_definitions): its error, or null.
    const BufrError* code_table_error(std::uint32_t code) const;
    void insert_code_table_error(std::uint32_t code, BufrError error);

    std::size_t element_count() const noexcept { return elements_.size(); }
    std::size_t sequence_count() const noexcept { return sequences_.size(); }

private:
    std::unordered_map<std::uint32_t, ElementDefinition> elements_;
    std::unordered_map<std::uint32_t, SequenceDefinition> sequences_;
    std::unordered_map<std::uint32_t, CodeTable> code_tables_;
    std::unordered_map<std::uint32_t, BufrError> code_table_errors_;
    std::string origin_;
};

}  // namespace korvane
