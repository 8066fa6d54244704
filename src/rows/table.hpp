// Tables of observations read in the core: the messages of a buffer decoded
// and their rows assembled, over many messages per call and on several
// threads, each output column written once, contiguous across messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "error/error.hpp"
#include "error/interrupt.hpp"
#include "message/message.hpp"
#include "rows/request.hpp"
#include "tables/cache.hpp"
#include "tables/table_set.hpp"

namespace korvane::rows {

// The state of a selector's value in a row.
inline constexpr std::uint8_t kAbsent = 0;   // the row has no item of it
inline constexpr std::uint8_t kMissing = 1;  // an item, missing
inline constexpr std::uint8_t kPresent = 2;

// Texts, each stored once per message that holds it.
class TextStore {
public:
    std::int64_t add(std::string_view text) {
        bytes_.append(text);
        ends_.push_back(bytes_.size());
        return static_cast<std::int64_t>(ends_.size() - 1);
    }
    void append(const TextStore& other);
    std::size_t size() const noexcept { return ends_.size(); }
    const std::string& bytes() const noexcept { return bytes_; }
    const std::vector<std::uint64_t>& ends() const noexcept { return ends_; }

private:
    std::string bytes_;
    std::vector<std::uint64_t> ends_;
};

// What the tables say of an element whose items filled a column, as the set
// its first item was read with defines it.
struct ElementFacts {
    std::uint32_t code = 0;
    std::string type;  // the element table's type ("long", "double", "string", "table", "flag", ...)
    std::string unit;
    std::string name;
    std::int32_t scale = 0;
};

// The facts of `code` in `tables` (empty ones for a code it lacks).
ElementFacts facts_of(const TableSet& tables, std::uint32_t code);

// A selector's values, one entry per row.
struct SelectorColumn {
    std::vector<double> value;        // NaN when missing or absent, and for texts
    std::vector<std::uint8_t> state;  // kAbsent, kMissing or kPresent
    // The text of a text item in TextStore, or -1: filled (for every row)
    // from the first row whose item is a text.
    std::vector<std::int64_t> text;
    // The elements whose items filled the column, in the order met (a code
    // without a table entry has empty facts).
    std::vector<ElementFacts> elements;
};

// A flat table (Request::flat): a row per subset, and a cell per element
// item, its column being the pair (key, rank) of the item in its subset.
struct FlatCells {
    std::vector<std::uint64_t> row;
    std::vector<std::uint32_t> column;
    std::vector<std::uint8_t> state;
    std::vector<double> value;
    std::vector<std::int64_t> text;  // -1 for numbers
    // Per column, in order of first appearance: its key and the element of
    // its first item (positions in `keys` and `elements`), and its rank.
    std::vector<std::uint32_t> column_key;
    std::vector<std::uint32_t> column_element;
    std::vector<std::uint32_t> ranks;
    // The distinct keys and elements: a sounding's tens of thousands of
    // columns have a few dozen.
    std::vector<std::string> keys;
    std::vector<ElementFacts> elements;

    std::size_t columns() const noexcept { return ranks.size(); }
};

bool operator==(const ElementFacts& a, const ElementFacts& b) noexcept;

// A message that could not be read: its position among the messages of the
// input, and why.
struct Failure {
    std::uint64_t message;
    BufrError error;
};

// The master version a message named and the one read in its place.
struct VersionFallback {
    std::uint8_t master_table;
    std::uint8_t named;
    std::uint8_t read;
};

struct TableOutput {
    // Per row: the message's position among Input::messages, and its subset.
    std::vector<std::uint64_t> row_message;
    std::vector<std::uint32_t> row_subset;
    std::vector<SelectorColumn> columns;  // one per selector
    FlatCells flat;
    TextStore texts;
    std::vector<Failure> failures;        // in message order
    std::vector<VersionFallback> fallbacks;
    // Per selector: whether the template of some message read could give it.
    std::vector<bool> found;
    // The keys the templates of the messages read can give, sorted.
    std::vector<std::string> held_keys;
    std::uint64_t messages_read = 0;      // messages whose tables were found

    std::size_t rows() const noexcept { return row_message.size(); }
};

// A message to read: where it lies in the input, and its table header fields.
struct MessageRef {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    TableRequest tables;
};

struct Input {
    ByteView data;
    std::vector<MessageRef> messages;
    // The tables: one set for every message, or a definitions root whose
    // sets are chosen by each message's header (TableCache::shared()).
    std::shared_ptr<const TableSet> fixed;
    std::string root;
    std::uint64_t max_items = 0;  // per message, 0 for none (DecodeOptions)
    // Stop at the first message that fails (the caller raises its error).
    bool stop_on_failure = false;
};

// Reads the messages of `input` into `out` on up to `threads` threads; the
// output is the same for any number. Fails only when `interrupt` asks it to
// stop; messages that cannot be read are Failures.
Result<void> read_table(const Input& input, const Request& request, unsigned threads, TableOutput& out,
                        const Interrupt& interrupt = {});

}  // namespace korvane::rows
