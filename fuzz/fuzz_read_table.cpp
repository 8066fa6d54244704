// libFuzzer target: the table engine (rows::read_table), which decodes the
// messages of an input and assembles tables of observations from them on
// several threads. The messages the scan finds are read with a few fixed
// requests (columns by key, by rank and by code, texts, filters, required
// columns, a flat table), and each table checked. Then the message list is
// repeated until it fills more than one batch, so that a second thread has
// work and the batches' outputs are merged, and read (for one input in
// four) with one of the requests on one thread and on two: both must give
// the same table.
//   build/fuzz/fuzz_read_table -max_total_time=300 -rss_limit_mb=2048 ../shared/corpus/ed4 ../shared/corpus/ed3
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "decoding.hpp"
#include "rows/table.hpp"

namespace {

using korvane::rows::Request;
using korvane::rows::Selector;
using korvane::rows::TableOutput;

std::vector<Request> make_requests() {
    std::vector<Request> out;
    {
        // A table as read_bufr makes it: rows by the replications, every
        // column required, a range filter on pressure.
        Request r;
        r.selectors = {Selector{"latitude", 0, 0}, Selector{"longitude", 0, 0}, Selector{"pressure", 0, 0},
                       Selector{"airTemperature", 0, 0}};
        r.required = {{0}, {1}, {2}, {3}};
        korvane::rows::ValueFilter f;
        f.selector = 2;
        f.range = true;
        f.low = 10000;
        f.high = 85000;
        r.filters = {f};
        r.needed = r.required;
        out.push_back(r);
    }
    {
        // A ranked key, a code, texts and a code table, nothing required.
        Request r;
        r.selectors = {Selector{"airTemperature", 0, 2}, Selector{"", 12101, 0}, Selector{"stationOrSiteName", 0, 0},
                       Selector{"", 1001, 0}, Selector{"stationType", 0, 0}};
        korvane::rows::ValueFilter f;
        f.selector = 4;
        f.numbers = {0, 1, 2};
        r.filters = {f};
        r.needed = {{4}};
        out.push_back(r);
    }
    {
        // Every item of a subset as a column.
        Request r;
        r.selectors = {Selector{"latitude", 0, 0}};
        r.flat = true;
        out.push_back(r);
    }
    return out;
}

bool same_doubles(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

bool same_facts(const std::vector<korvane::rows::ElementFacts>& a, const std::vector<korvane::rows::ElementFacts>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].code != b[i].code || a[i].type != b[i].type || a[i].unit != b[i].unit || a[i].name != b[i].name ||
            a[i].scale != b[i].scale)
            return false;
    return true;
}

bool same(const TableOutput& a, const TableOutput& b) {
    if (a.row_message != b.row_message || a.row_subset != b.row_subset || a.columns.size() != b.columns.size())
        return false;
    for (std::size_t k = 0; k < a.columns.size(); ++k) {
        const auto& x = a.columns[k];
        const auto& y = b.columns[k];
        if (!same_doubles(x.value, y.value) || x.state != y.state || x.text != y.text ||
            !same_facts(x.elements, y.elements))
            return false;
    }
    const auto& f = a.flat;
    const auto& g = b.flat;
    if (f.row != g.row || f.column != g.column || f.state != g.state || !same_doubles(f.value, g.value) ||
        f.text != g.text || f.keys != g.keys || f.ranks != g.ranks || f.column_key != g.column_key ||
        f.column_element != g.column_element || !same_facts(f.elements, g.elements))
        return false;
    if (a.texts.bytes() != b.texts.bytes() || a.texts.ends() != b.texts.ends()) return false;
    if (a.failures.size() != b.failures.size()) return false;
    for (std::size_t i = 0; i < a.failures.size(); ++i)
        if (a.failures[i].message != b.failures[i].message ||
            a.failures[i].error.describe() != b.failures[i].error.describe())
            return false;
    if (a.fallbacks.size() != b.fallbacks.size()) return false;
    for (std::size_t i = 0; i < a.fallbacks.size(); ++i)
        if (a.fallbacks[i].master_table != b.fallbacks[i].master_table ||
            a.fallbacks[i].named != b.fallbacks[i].named || a.fallbacks[i].read != b.fallbacks[i].read)
            return false;
    return a.found == b.found && a.held_keys == b.held_keys && a.messages_read == b.messages_read;
}

// What a table promises its reader, whatever the input.
void check(const TableOutput& t, const Request& r, std::size_t messages) {
    const std::size_t rows = t.rows();
    const auto texts = static_cast<std::int64_t>(t.texts.size());
    FUZZ_CHECK(t.row_subset.size() == rows && t.columns.size() == r.selectors.size());
    for (std::size_t i = 0; i < rows; ++i)
        FUZZ_CHECK(t.row_message[i] < messages && (i == 0 || t.row_message[i - 1] <= t.row_message[i]));
    for (const auto& c : t.columns) {
        if (r.flat) {  // a flat table's values are its cells
            FUZZ_CHECK(c.value.empty() && c.state.empty() && c.text.empty());
            continue;
        }
        FUZZ_CHECK(c.value.size() == rows && c.state.size() == rows && (c.text.empty() || c.text.size() == rows));
        for (std::size_t i = 0; i < rows; ++i)
            FUZZ_CHECK(c.state[i] <= korvane::rows::kPresent && (c.text.empty() || c.text[i] < texts));
    }
    const auto& f = t.flat;
    const std::size_t cells = f.row.size();
    FUZZ_CHECK(f.column.size() == cells && f.state.size() == cells && f.value.size() == cells && f.text.size() == cells);
    FUZZ_CHECK(f.column_key.size() == f.columns() && f.column_element.size() == f.columns());
    for (std::size_t c = 0; c < f.columns(); ++c)
        FUZZ_CHECK(f.column_key[c] < f.keys.size() && f.column_element[c] < f.elements.size());
    for (std::size_t i = 0; i < cells; ++i)
        FUZZ_CHECK(f.row[i] < rows && f.column[i] < f.columns() && f.text[i] < texts);
    FUZZ_CHECK(t.texts.ends().empty() || t.texts.ends().back() == t.texts.bytes().size());
    for (std::size_t i = 1; i < t.failures.size(); ++i)
        FUZZ_CHECK(t.failures[i - 1].message < t.failures[i].message);
}

class Collect final : public korvane::ScanSink {
public:
    void message(std::uint64_t, std::uint64_t offset, korvane::BufrMessage&& m) override {
        refs.push_back(korvane::rows::MessageRef{offset, m.total_length, korvane::table_request(m)});
        bytes += m.total_length;
    }
    void problem(std::uint64_t, std::uint64_t, std::uint64_t, korvane::BufrError) override {}

    std::vector<korvane::rows::MessageRef> refs;
    std::uint64_t bytes = 0;
};

// Batches of the engine hold at most this many bytes or messages; a list
// larger than either fills two.
constexpr std::uint64_t kBatchBytes = std::uint64_t{1} << 18;
constexpr std::size_t kBatchMessages = 512;
constexpr std::uint64_t kRepeatedItems = 2048;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::vector<Request> requests = make_requests();
    const korvane::ByteView buf(data, size);
    Collect found;
    FUZZ_CHECK(korvane::scan_messages(buf, found).ok());  // fails only when interrupted
    if (found.refs.empty()) return 0;
    korvane::rows::Input once;
    once.data = buf;
    once.root = fuzz::kDefinitions;
    once.messages = found.refs;
    for (const Request& r : requests) {
        TableOutput one;
        FUZZ_CHECK(korvane::rows::read_table(once, r, 1, one).ok());
        check(one, r, once.messages.size());
    }
    // The list repeated until it fills more than one batch costs hundreds of
    // decodes: it is read for one input in four, with one request on two
    // threads, both chosen by the input's size (so that a failing input
    // fails again). Each message is held to a budget of items, so that the
    // tables of a few small messages that give many rows each stay small.
    if (size % 4 != 0) return 0;
    korvane::rows::Input repeated = once;
    repeated.max_items = kRepeatedItems;
    for (std::uint64_t bytes = found.bytes; bytes <= kBatchBytes && repeated.messages.size() <= kBatchMessages;
         bytes += found.bytes)
        repeated.messages.insert(repeated.messages.end(), found.refs.begin(), found.refs.end());
    const Request& r = requests[size / 4 % requests.size()];
    TableOutput one, two;
    FUZZ_CHECK(korvane::rows::read_table(repeated, r, 1, one).ok());
    FUZZ_CHECK(korvane::rows::read_table(repeated, r, 2, two).ok());
    check(one, r, repeated.messages.size());
    FUZZ_CHECK(same(one, two));
    return 0;
}
