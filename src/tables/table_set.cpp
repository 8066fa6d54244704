#include "tables/table_set.hpp"

namespace korvane {

void TableSet::insert_element(ElementDefinition e) {
    const std::uint32_t code = e.code;
    elements_.insert_or_assign(code, std::move(e));
}

void TableSet::insert_sequence(SequenceDefinition s) {
    const std::uint32_t code = s.code;
    sequences_.insert_or_assign(code, std::move(s));
}

void TableSet::insert_code_table(std::uint32_t code, CodeTable table) {
    code_tables_.insert_or_assign(code, std::move(table));
}

const ElementDefinition* TableSet::find_element(std::uint32_t code) const {
    auto it = elements_.find(code);
    return it == elements_.end() ? nullptr : &it->second;
}

const SequenceDefinition* TableSet::find_sequence(std::uint32_t code) const {
    auto it = sequences_.find(code);
    return it == sequences_.end() ? nullptr : &it->second;
}

const CodeTable* TableSet::find_code_table(std::uint32_t code) const {
    if (code_tables_.empty()) return nullptr;
    auto it = code_tables_.find(code);
    return it == code_tables_.end() ? nullptr : &it->second;
}

const BufrError* TableSet::code_table_error(std::uint32_t code) const {
    auto it = code_table_errors_.find(code);
    return it == code_table_errors_.end() ? nullptr : &it->second;
}

void TableSet::insert_code_table_error(std::uint32_t code, BufrError error) {
    code_tables_.erase(code);
    code_table_errors_.insert_or_assign(code, std::move(error));
}

std::optional<std::string_view> TableSet::code_meaning(std::uint32_t code, std::uint64_t raw) const {
    const CodeTable* table = find_code_table(code);
    if (table == nullptr || table->empty()) return std::nullopt;
    auto it = table->find(raw);
    if (it == table->end()) return std::nullopt;
    return std::string_view(it->second);
}

}  // namespace korvane
