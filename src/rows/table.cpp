// Row assembly. A message's rows follow its replications; the rule, as a
// walk over the items of one subset:
//
// 1. Matched items: in item order, the items of each selector (an element
//    of the selector's key or code; for a ranked selector only the item of
//    that rank among the key's items of the subset). An item of two
//    selectors is matched once for each.
// 2. Holders: the occurrences of replicated groups, less those of a group the
//    one-bit factor 0 31 000 includes (it is there or not: an optional part
//    of its level, whose items count as that level's). An item's holder is
//    the innermost remaining occurrence holding it, or the subset when none
//    does: the item is then outside replications.
// 3. Outside replications only the first matched item of each selector in
//    the subset takes part; later ones are reached by their rank.
// 4. A subset in which no selector has two items is one row. In any other
//    the items are walked in order, keeping an observation (selector ->
//    item): an item past the end of the holder of the item before it first
//    drops the items whose holder has ended; an item whose selector the
//    observation holds drops that earlier item and every item added after
//    it. Whenever an item drops something, the observation as it was before
//    is a row; the last observation of the subset is a row too.
// 5. A row is kept when it has an item of each required selector and every
//    filter matches its item's value.
//
// So each occurrence of the innermost replicated group holding requested
// keys is a row, the keys read before it in the enclosing levels carried
// along (station and time on every level of a sounding). Compressed data
// have one layout for every subset: the rows are the first subset's, their
// values read in each subset.
#include "rows/table.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "data/columns.hpp"
#include "rows/plan.hpp"
#include "tables/keys.hpp"

namespace korvane::rows {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::uint32_t kShortDelayedFactor = 31000;

// The items of a decoded message, laid out or (compressed data) kept as
// coded: position p of subset s is item p for laid-out data, column p of row
// s for data kept as rows.
class Items {
public:
    explicit Items(const MessageColumns& c) : c_(c) {
        if (c.row_width != 0) {
            var_of_.assign(c.row_width, -1);
            for (std::size_t j = 0; j < c.var_column.size(); ++j)
                var_of_[c.var_column[j]] = static_cast<std::int64_t>(j);
        }
    }
    bool kept_as_rows() const noexcept { return c_.row_width != 0; }
    std::uint32_t code(std::size_t p) const noexcept { return c_.code[p]; }
    std::uint8_t kind(std::size_t p) const noexcept { return c_.kind[p]; }
    bool missing(std::uint32_t s, std::size_t p) const noexcept {
        const std::int64_t v = var(p);
        return (v < 0 ? c_.missing[p] : c_.var_missing[index(v, s)]) != 0;
    }
    double value(std::uint32_t s, std::size_t p) const noexcept {
        const std::int64_t v = var(p);
        return v < 0 ? c_.value[p] : c_.var_value[index(v, s)];
    }
    std::uint64_t raw(std::uint32_t s, std::size_t p) const noexcept {
        const std::int64_t v = var(p);
        return v < 0 ? c_.raw[p] : c_.var_raw[index(v, s)];
    }
    bool is_text(std::size_t p) const noexcept {
        const auto k = static_cast<ValueKind>(c_.kind[p]);
        return k == ValueKind::Character || k == ValueKind::InsertedText;
    }
    const TextArena& texts() const noexcept { return c_.texts; }

private:
    std::int64_t var(std::size_t p) const noexcept { return var_of_.empty() ? -1 : var_of_[p]; }
    std::size_t index(std::int64_t v, std::uint32_t s) const noexcept {
        return static_cast<std::size_t>(v) * c_.rows + s;
    }
    const MessageColumns& c_;
    std::vector<std::int64_t> var_of_;
};

struct Matched {
    std::size_t pos;
    std::uint16_t sel;
    std::size_t hend;  // end of its holder (the subset's end outside replications)
    bool inside;
};

// A row: per selector the position of its item, or -1.
using Row = std::vector<std::int64_t>;

// A text as tables show it: without the spaces and NULs that pad its field.
std::string_view shown_text(std::string_view t) {
    while (!t.empty() && (t.back() == ' ' || t.back() == '\0')) t.remove_suffix(1);
    return t;
}

// Steps 1 to 4 for the items [begin, end) of one subset, whose occurrences
// of replicated groups are `groups` (walk order).
class SubsetWalk {
public:
    explicit SubsetWalk(const Request& request) : request_(request) {}

    void rows(Plan& plan, const Items& items, std::size_t begin, std::size_t end,
              std::span<const GroupOccurrence> groups, std::vector<Row>& out) {
        match(plan, items, begin, end);
        if (matched_.empty()) return;
        holders(items, end, groups);
        // Step 3, and whether any selector has two items.
        const std::size_t n = request_.selectors.size();
        outside_seen_.assign(n, 0);
        count_.assign(n, 0);
        walked_.clear();
        bool repeats = false;
        for (const Matched& m : matched_) {
            if (!m.inside) {
                if (outside_seen_[m.sel]++ != 0) continue;
            }
            if (++count_[m.sel] == 2) repeats = true;
            walked_.push_back(m);
        }
        if (!repeats) {
            Row row(n, -1);
            for (const Matched& m : walked_) row[m.sel] = static_cast<std::int64_t>(m.pos);
            out.push_back(std::move(row));
            return;
        }
        walk(out);
    }

private:
    void match(Plan& plan, const Items& items, std::size_t begin, std::size_t end) {
        matched_.clear();
        rank_.assign(request_.selectors.size(), 0);
        for (std::size_t p = begin; p < end; ++p) {
            if (items.kind(p) > static_cast<std::uint8_t>(ValueKind::Character)) continue;
            const std::vector<std::uint16_t>& sels = plan.selectors_of(items.code(p));
            for (const std::uint16_t k : sels) {
                const std::uint32_t rank = request_.selectors[k].rank;
                if (rank == 0 || ++rank_[k] == rank) matched_.push_back(Matched{p, k, end, false});
            }
        }
    }

    void holders(const Items& items, std::size_t end, std::span<const GroupOccurrence> groups) {
        // The occurrences that repeat something: not those of a group the
        // short delayed factor includes, the only one of its replication in
        // its parent.
        kept_.clear();
        counts_.clear();
        for (const GroupOccurrence& o : groups) ++counts_[key(o)];
        for (const GroupOccurrence& o : groups) {
            const bool optional = o.begin > 0 && items.code(static_cast<std::size_t>(o.begin - 1)) == kShortDelayedFactor &&
                                  counts_[key(o)] == 1;
            if (!optional && o.end > o.begin) kept_.push_back(&o);
        }
        stack_.clear();
        std::size_t next = 0;
        for (Matched& m : matched_) {
            while (!stack_.empty() && stack_.back()->end <= m.pos) stack_.pop_back();
            while (next < kept_.size() && kept_[next]->begin <= m.pos) {
                const GroupOccurrence* o = kept_[next++];
                if (o->end <= m.pos) continue;
                while (!stack_.empty() && stack_.back()->end <= o->begin) stack_.pop_back();
                stack_.push_back(o);
            }
            m.inside = !stack_.empty();
            m.hend = m.inside ? static_cast<std::size_t>(stack_.back()->end) : end;
        }
    }

    static std::uint64_t key(const GroupOccurrence& o) {
        return (static_cast<std::uint64_t>(o.node) << 32) ^ static_cast<std::uint64_t>(o.parent + 1);
    }

    void walk(std::vector<Row>& out) {
        const std::size_t n = request_.selectors.size();
        obs_.clear();
        where_.assign(n, -1);
        auto emit = [&] {
            Row row(n, -1);
            for (const Matched& m : obs_) row[m.sel] = static_cast<std::int64_t>(m.pos);
            out.push_back(std::move(row));
        };
        auto reindex = [&] {
            std::fill(where_.begin(), where_.end(), -1);
            for (std::size_t i = 0; i < obs_.size(); ++i) where_[obs_[i].sel] = static_cast<std::int64_t>(i);
        };
        for (std::size_t j = 0; j < walked_.size(); ++j) {
            const Matched& m = walked_[j];
            const bool leaving = j > 0 && m.pos >= walked_[j - 1].hend;
            bool ended = false;
            if (leaving)
                for (const Matched& e : obs_) ended = ended || e.hend <= m.pos;
            const bool repeat = where_[m.sel] >= 0;
            if (ended || repeat) emit();
            if (ended) {
                obs_.erase(std::remove_if(obs_.begin(), obs_.end(), [&](const Matched& e) { return e.hend <= m.pos; }),
                           obs_.end());
                reindex();
            }
            if (where_[m.sel] >= 0) {
                obs_.resize(static_cast<std::size_t>(where_[m.sel]));
                reindex();
            }
            where_[m.sel] = static_cast<std::int64_t>(obs_.size());
            obs_.push_back(m);
        }
        emit();
    }

    const Request& request_;
    std::vector<Matched> matched_;
    std::vector<Matched> walked_;
    std::vector<Matched> obs_;
    std::vector<std::uint32_t> rank_;
    std::vector<std::uint32_t> outside_seen_;
    std::vector<std::uint32_t> count_;
    std::vector<std::int64_t> where_;
    std::vector<const GroupOccurrence*> kept_;
    std::vector<const GroupOccurrence*> stack_;
    std::unordered_map<std::uint64_t, std::uint32_t> counts_;
};

// Writes rows into an output: values, states and texts of each selector.
class RowWriter {
public:
    RowWriter(const Request& request, TableOutput& out) : request_(request), out_(out) {}

    void begin_message(const Items& items, const TableSet& tables) {
        items_ = &items;
        tables_ = &tables;
        text_ids_.assign(items.texts().size(), -1);
    }

    // Whether the row passes its required selectors (step 5, the part that
    // does not depend on values).
    bool has_required(const Row& row) const {
        for (const auto& group : request_.required)
            for (const std::size_t k : group)
                if (row[k] < 0) return false;
        return true;
    }

    // Notes the elements of a row's items, kept or not: a column's unit and
    // type are those of the elements its key has in the rows of the message.
    void note(const Row& row) {
        for (std::size_t k = 0; k < row.size(); ++k) {
            if (row[k] < 0) continue;
            SelectorColumn& c = out_.columns[k];
            const std::uint32_t code = items_->code(static_cast<std::size_t>(row[k]));
            if (c.elements.empty() || c.elements.back().code != code) note_element(c, code);
        }
    }

    bool passes(const Row& row, std::uint32_t s) const {
        for (const ValueFilter& f : request_.filters) {
            const std::int64_t p = row[f.selector];
            if (p < 0) return false;
            const auto pos = static_cast<std::size_t>(p);
            if (items_->missing(s, pos)) return false;
            if (items_->is_text(pos)) {
                if (f.range || f.texts.empty()) return false;
                const std::string_view t = shown_text(items_->texts().get(items_->raw(s, pos)));
                if (std::find(f.texts.begin(), f.texts.end(), t) == f.texts.end()) return false;
                continue;
            }
            const double v = items_->value(s, pos);
            if (f.range) {
                if (!(v >= f.low && v <= f.high)) return false;
            } else if (std::find(f.numbers.begin(), f.numbers.end(), v) == f.numbers.end()) {
                return false;
            }
        }
        return true;
    }

    void write(const Row& row, std::uint64_t message, std::uint32_t s) {
        const std::size_t r = out_.row_message.size();
        out_.row_message.push_back(message);
        out_.row_subset.push_back(s);
        for (std::size_t k = 0; k < row.size(); ++k) {
            SelectorColumn& c = out_.columns[k];
            if (row[k] < 0) {
                c.value.push_back(kNaN);
                c.state.push_back(kAbsent);
                if (!c.text.empty()) c.text.push_back(-1);
                continue;
            }
            const auto p = static_cast<std::size_t>(row[k]);
            const bool missing = items_->missing(s, p);
            c.state.push_back(missing ? kMissing : kPresent);
            if (items_->is_text(p)) {
                c.value.push_back(kNaN);
                if (c.text.empty()) c.text.assign(r, -1);
                c.text.push_back(missing ? -1 : text_id(items_->raw(s, p)));
            } else {
                c.value.push_back(missing ? kNaN : items_->value(s, p));
                if (!c.text.empty()) c.text.push_back(-1);
            }
        }
    }

private:
    std::int64_t text_id(std::uint64_t id) {
        std::int64_t& out = text_ids_[id];
        if (out < 0) out = out_.texts.add(shown_text(items_->texts().get(id)));
        return out;
    }

    void note_element(SelectorColumn& c, std::uint32_t code) {
        for (const ElementFacts& e : c.elements)
            if (e.code == code) return;
        c.elements.push_back(facts_of(*tables_, code));
    }

    const Request& request_;
    TableOutput& out_;
    const Items* items_ = nullptr;
    const TableSet* tables_ = nullptr;
    std::vector<std::int64_t> text_ids_;
};

// A flat table's cells: a column per (key, rank) in order of first appearance.
class FlatWriter {
public:
    explicit FlatWriter(TableOutput& out) : out_(out) {}

    void message(const Items& items, const TableSet& tables, const MessageColumns& c, std::uint64_t message,
                 std::uint32_t subsets) {
        text_ids_.assign(items.texts().size(), -1);
        if (&tables != tables_) {  // codes name keys and elements by the tables that define them
            tables_ = &tables;
            code_ids_.clear();
        }
        for (std::uint32_t s = 0; s < subsets; ++s) {
            const std::size_t begin = items.kept_as_rows() ? 0 : static_cast<std::size_t>(c.subset_bounds[s]);
            const std::size_t end = items.kept_as_rows() ? c.row_width : static_cast<std::size_t>(c.subset_bounds[s + 1]);
            const std::uint64_t row = out_.row_message.size();
            out_.row_message.push_back(message);
            out_.row_subset.push_back(s);
            if (!items.kept_as_rows() || s == 0) columns(items, begin, end);
            if (items.kept_as_rows() && s == 0) {
                // Every subset has the cells of the first: room for all.
                const auto per_subset = static_cast<std::size_t>(
                    std::count_if(layout_.begin(), layout_.end(), [](std::uint32_t col) { return col != kNone; }));
                reserve_cells(per_subset * subsets);
            }
            for (std::size_t p = begin; p < end; ++p) {
                const std::uint32_t col = layout_[p - begin];
                if (col == kNone) continue;
                const bool missing = items.missing(s, p);
                out_.flat.row.push_back(row);
                out_.flat.column.push_back(col);
                out_.flat.state.push_back(missing ? kMissing : kPresent);
                if (items.is_text(p)) {
                    out_.flat.value.push_back(kNaN);
                    out_.flat.text.push_back(missing ? -1 : text_id(items, items.raw(s, p)));
                } else {
                    out_.flat.value.push_back(missing ? kNaN : items.value(s, p));
                    out_.flat.text.push_back(-1);
                }
            }
        }
    }

private:
    static constexpr std::uint32_t kNone = UINT32_MAX;

    void reserve_cells(std::size_t more) {
        FlatCells& f = out_.flat;
        const std::size_t n = f.row.size() + more;
        f.row.reserve(n);
        f.column.reserve(n);
        f.state.reserve(n);
        f.value.reserve(n);
        f.text.reserve(n);
    }

    struct CodeIds {
        std::uint32_t key;
        std::uint32_t element;
    };

    // The column of each element item of [begin, end), in layout_.
    void columns(const Items& items, std::size_t begin, std::size_t end) {
        layout_.assign(end - begin, kNone);
        for (std::size_t p = begin; p < end; ++p) {
            if (items.kind(p) > static_cast<std::uint8_t>(ValueKind::Character)) continue;
            const CodeIds ids = ids_of(items.code(p));
            if (counts_[ids.key]++ == 0) counted_.push_back(ids.key);
            const std::uint32_t rank = counts_[ids.key];
            std::vector<std::uint32_t>& by_rank = columns_[ids.key];
            if (by_rank.size() < rank) by_rank.resize(rank, kNone);
            std::uint32_t& col = by_rank[rank - 1];
            if (col == kNone) {
                col = static_cast<std::uint32_t>(out_.flat.columns());
                out_.flat.column_key.push_back(ids.key);
                out_.flat.column_element.push_back(ids.element);
                out_.flat.ranks.push_back(rank);
            }
            layout_[p - begin] = col;
        }
        for (const std::uint32_t k : counted_) counts_[k] = 0;
        counted_.clear();
    }

    CodeIds ids_of(std::uint32_t code) {
        auto it = code_ids_.find(code);
        if (it != code_ids_.end()) return it->second;
        const ElementDefinition* def = tables_->find_element(code);
        const std::string name = def != nullptr ? element_key(*def) : padded_code(code);
        auto named = key_ids_.find(name);
        if (named == key_ids_.end()) {
            named = key_ids_.emplace(name, static_cast<std::uint32_t>(out_.flat.keys.size())).first;
            out_.flat.keys.push_back(name);
            columns_.emplace_back();
            counts_.push_back(0);
        }
        ElementFacts facts = facts_of(*tables_, code);
        std::uint32_t element = 0;
        while (element < out_.flat.elements.size() && !(out_.flat.elements[element] == facts)) ++element;
        if (element == out_.flat.elements.size()) out_.flat.elements.push_back(std::move(facts));
        return code_ids_.emplace(code, CodeIds{named->second, element}).first->second;
    }

    std::int64_t text_id(const Items& items, std::uint64_t id) {
        std::int64_t& out = text_ids_[id];
        if (out < 0) out = out_.texts.add(shown_text(items.texts().get(id)));
        return out;
    }

    TableOutput& out_;
    const TableSet* tables_ = nullptr;
    std::unordered_map<std::uint32_t, CodeIds> code_ids_;   // of tables_
    std::unordered_map<std::string, std::uint32_t> key_ids_;
    std::vector<std::vector<std::uint32_t>> columns_;  // per key, per rank - 1: the column
    std::vector<std::uint32_t> counts_;                 // per key: its items so far in the subset
    std::vector<std::uint32_t> counted_;                // the keys counted
    std::vector<std::uint32_t> layout_;                 // per position of the subset: its column, or kNone
    std::vector<std::int64_t> text_ids_;
};

// The occurrences of subset s among a message's groups (walk order, subset
// after subset).
std::span<const GroupOccurrence> groups_of(const std::vector<GroupOccurrence>& groups, std::uint32_t s,
                                          std::size_t& next) {
    const std::size_t first = next;
    while (next < groups.size() && groups[next].subset == s) ++next;
    return std::span<const GroupOccurrence>(groups.data() + first, next - first);
}

// One batch of messages, read into its own output.
class BatchReader {
public:
    BatchReader(const Input& input, const Request& request, PlanCache& plans, TableOutput& out,
                const Interrupt& interrupt)
        : input_(input), request_(request), plans_(plans), out_(out), interrupt_(interrupt), walk_(request),
          rows_(request, out), flat_(out) {}

    // Reads message `i`; false when it failed (recorded in out.failures).
    bool read(std::uint64_t i) {
        const MessageRef& ref = input_.messages[i];
        const ByteView bytes = input_.data.subspan(static_cast<std::size_t>(ref.offset), static_cast<std::size_t>(ref.length));
        Result<BufrMessage> parsed = parse_message_any_edition(bytes);
        if (!parsed) return fail(i, std::move(parsed).error());
        const BufrMessage& m = *parsed;
        std::shared_ptr<const TableSet> tables = input_.fixed;
        if (!tables && last_tables_ && ref.tables == last_request_) {
            tables = last_tables_;
        } else if (!tables) {
            Result<ResolvedTables> resolved = TableCache::shared().resolve(input_.root, ref.tables);
            if (!resolved) return fail(i, std::move(resolved).error());
            if (resolved->version != ref.tables.master_version) note_fallback(ref.tables, resolved->version);
            Result<std::shared_ptr<const TableSet>> loaded =
                TableCache::shared().load(*resolved, CodeTables::Skip);  // rows need no meanings
            if (!loaded) return fail(i, std::move(loaded).error());
            tables = std::move(loaded).value();
            // Plans are keyed by the set's address: it must outlive them.
            if (held_.empty() || held_.back() != tables) held_.push_back(tables);
            last_request_ = ref.tables;
            last_tables_ = tables;
        }
        std::shared_ptr<Plan> plan = plan_of(*tables, m.unexpanded_descriptors);
        ++out_.messages_read;
        if (seen_plans_.insert(plan.get()).second)
            out_.held_keys.insert(out_.held_keys.end(), plan->keys().begin(), plan->keys().end());
        for (std::size_t k = 0; k < out_.found.size(); ++k)
            if (plan->present()[k]) out_.found[k] = true;
        if (!request_.flat && !plan->can_give_rows()) return true;
        DecodeOptions options;
        options.reader_rules = true;
        options.structure = !request_.flat;
        options.max_items = input_.max_items;
        options.interrupt = interrupt_;
        Result<void> done = decode_columns(m, *tables, m.section4_data(bytes), columns_, options);
        if (!done) return fail(i, std::move(done).error());
        const Items items(columns_);
        if (request_.flat) {
            flat_.message(items, *tables, columns_, i, m.number_of_subsets);
            return true;
        }
        assemble(*plan, *tables, items, i, m.number_of_subsets);
        return true;
    }

private:
    void assemble(Plan& plan, const TableSet& tables, const Items& items, std::uint64_t i, std::uint32_t subsets) {
        SubsetWalk& walk = walk_;
        rows_.begin_message(items, tables);
        std::size_t next = 0;
        if (items.kept_as_rows()) {
            // One layout for every subset: the first subset's rows.
            templates_.clear();
            walk.rows(plan, items, 0, columns_.row_width, groups_of(columns_.groups, 0, next), templates_);
            if (subsets != 0)
                for (const Row& row : templates_) rows_.note(row);
            for (std::uint32_t s = 0; s < subsets; ++s)
                for (const Row& row : templates_)
                    if (rows_.has_required(row) && rows_.passes(row, s)) rows_.write(row, i, s);
            return;
        }
        for (std::uint32_t s = 0; s < subsets; ++s) {
            templates_.clear();
            walk.rows(plan, items, static_cast<std::size_t>(columns_.subset_bounds[s]),
                      static_cast<std::size_t>(columns_.subset_bounds[s + 1]), groups_of(columns_.groups, s, next),
                      templates_);
            for (const Row& row : templates_) {
                rows_.note(row);
                if (rows_.has_required(row) && rows_.passes(row, s)) rows_.write(row, i, s);
            }
        }
    }

    // Messages of a feed mostly repeat the template of the one before: its
    // plan is kept here, so that they take no lock shared with other threads.
    std::shared_ptr<Plan> plan_of(const TableSet& tables, std::span<const std::uint32_t> descriptors) {
        if (last_plan_ && last_plan_tables_ == &tables && std::ranges::equal(descriptors, last_descriptors_))
            return last_plan_;
        std::shared_ptr<Plan> plan = plans_.plan(tables, descriptors);
        if (plan->complete()) {
            last_plan_ = plan;
            last_plan_tables_ = &tables;
            last_descriptors_.assign(descriptors.begin(), descriptors.end());
        }
        return plan;
    }

    bool fail(std::uint64_t i, BufrError e) {
        out_.failures.push_back(Failure{i, std::move(e)});
        return false;
    }

    void note_fallback(const TableRequest& r, std::uint8_t read) {
        for (const VersionFallback& f : out_.fallbacks)
            if (f.master_table == r.master_table && f.named == r.master_version) return;
        out_.fallbacks.push_back(VersionFallback{r.master_table, r.master_version, read});
    }

    const Input& input_;
    const Request& request_;
    PlanCache& plans_;
    TableOutput& out_;
    const Interrupt& interrupt_;
    SubsetWalk walk_;
    RowWriter rows_;
    FlatWriter flat_;
    MessageColumns columns_;
    std::vector<Row> templates_;
    std::vector<std::shared_ptr<const TableSet>> held_;
    std::unordered_set<const Plan*> seen_plans_;
    TableRequest last_request_;
    std::shared_ptr<const TableSet> last_tables_;
    std::shared_ptr<Plan> last_plan_;
    const TableSet* last_plan_tables_ = nullptr;
    std::vector<std::uint32_t> last_descriptors_;
};

}  // namespace

bool operator==(const ElementFacts& a, const ElementFacts& b) noexcept {
    return a.code == b.code && a.scale == b.scale && a.type == b.type && a.unit == b.unit && a.name == b.name;
}

ElementFacts facts_of(const TableSet& tables, std::uint32_t code) {
    ElementFacts facts;
    facts.code = code;
    if (const ElementDefinition* def = tables.find_element(code)) {
        facts.type = def->element_type;
        facts.unit = def->unit;
        facts.name = def->name;
        facts.scale = def->scale;
    }
    return facts;
}

void TextStore::append(const TextStore& other) {
    const std::uint64_t base = bytes_.size();
    bytes_.append(other.bytes_);
    ends_.reserve(ends_.size() + other.ends_.size());
    for (const std::uint64_t e : other.ends_) ends_.push_back(base + e);
}

namespace {

// Messages are read in batches of about this many bytes (or messages), which
// the threads take in turn; each batch has its own output, appended to the
// whole in batch order.
constexpr std::uint64_t kBatchBytes = std::uint64_t{1} << 18;
constexpr std::size_t kBatchMessages = 512;
constexpr std::size_t kPollMessages = 64;

void prepare(TableOutput& out, const Request& request) {
    out.columns.assign(request.selectors.size(), SelectorColumn{});
    out.found.assign(request.selectors.size(), false);
}

template <class T>
void append(std::vector<T>& to, std::vector<T>& from) {
    if (to.empty() && to.capacity() < from.size()) {
        to = std::move(from);
    } else {
        to.insert(to.end(), from.begin(), from.end());
    }
    std::vector<T>().swap(from);
}

// The index of a merged flat table's keys and columns, made when a second
// batch with columns comes.
struct FlatIds {
    std::unordered_map<std::string, std::uint32_t> keys;
    std::unordered_map<std::uint64_t, std::uint32_t> columns;  // key << 32 | rank
    std::size_t indexed = 0;                                    // columns indexed so far

    static std::uint64_t column(std::uint32_t key, std::uint32_t rank) noexcept {
        return (static_cast<std::uint64_t>(key) << 32) | rank;
    }
};

// Appends `part` to `out` (which holds the batches before it) and frees it.
void merge(TableOutput& out, TableOutput& part, FlatIds& flat_ids) {
    const std::uint64_t rows = out.row_message.size();
    const auto texts = static_cast<std::int64_t>(out.texts.size());
    for (std::size_t k = 0; k < out.columns.size(); ++k) {
        SelectorColumn& to = out.columns[k];
        SelectorColumn& from = part.columns[k];
        if (!from.text.empty() || !to.text.empty()) {
            if (to.text.empty()) to.text.assign(rows, -1);
            if (from.text.empty()) from.text.assign(part.row_message.size(), -1);
            for (std::int64_t& t : from.text)
                if (t >= 0) t += texts;
            append(to.text, from.text);
        }
        append(to.value, from.value);
        append(to.state, from.state);
        for (ElementFacts& e : from.elements) {
            bool known = false;
            for (const ElementFacts& f : to.elements) known = known || f.code == e.code;
            if (!known) to.elements.push_back(std::move(e));
        }
        if (part.found[k]) out.found[k] = true;
    }
    // Flat columns: renumbered in order of first appearance over the whole.
    // The first batch with columns keeps its numbers.
    FlatCells& to = out.flat;
    FlatCells& from = part.flat;
    if (to.columns() == 0) {
        to.column_key = std::move(from.column_key);
        to.column_element = std::move(from.column_element);
        to.ranks = std::move(from.ranks);
        to.keys = std::move(from.keys);
        to.elements = std::move(from.elements);
    } else if (from.columns() != 0) {
        for (std::size_t k = flat_ids.keys.size(); k < to.keys.size(); ++k)
            flat_ids.keys.emplace(to.keys[k], static_cast<std::uint32_t>(k));
        for (; flat_ids.indexed < to.columns(); ++flat_ids.indexed)
            flat_ids.columns.emplace(FlatIds::column(to.column_key[flat_ids.indexed], to.ranks[flat_ids.indexed]),
                                     static_cast<std::uint32_t>(flat_ids.indexed));
        std::vector<std::uint32_t> key_of(from.keys.size());
        for (std::size_t k = 0; k < from.keys.size(); ++k) {
            auto [it, fresh] = flat_ids.keys.try_emplace(from.keys[k], static_cast<std::uint32_t>(to.keys.size()));
            if (fresh) to.keys.push_back(from.keys[k]);
            key_of[k] = it->second;
        }
        std::vector<std::uint32_t> element_of(from.elements.size());
        for (std::size_t e = 0; e < from.elements.size(); ++e) {
            std::uint32_t at = 0;
            while (at < to.elements.size() && !(to.elements[at] == from.elements[e])) ++at;
            if (at == to.elements.size()) to.elements.push_back(std::move(from.elements[e]));
            element_of[e] = at;
        }
        std::vector<std::uint32_t> renumber(from.columns());
        for (std::size_t c = 0; c < from.columns(); ++c) {
            const std::uint32_t key = key_of[from.column_key[c]];
            auto [it, fresh] = flat_ids.columns.try_emplace(FlatIds::column(key, from.ranks[c]),
                                                            static_cast<std::uint32_t>(to.columns()));
            if (fresh) {
                to.column_key.push_back(key);
                to.column_element.push_back(element_of[from.column_element[c]]);
                to.ranks.push_back(from.ranks[c]);
                ++flat_ids.indexed;
            }
            renumber[c] = it->second;
        }
        for (std::uint32_t& c : from.column) c = renumber[c];
    }
    for (std::uint64_t& r : part.flat.row) r += rows;
    for (std::int64_t& t : part.flat.text)
        if (t >= 0) t += texts;
    append(out.flat.row, part.flat.row);
    append(out.flat.column, part.flat.column);
    append(out.flat.state, part.flat.state);
    append(out.flat.value, part.flat.value);
    append(out.flat.text, part.flat.text);
    append(out.row_message, part.row_message);
    append(out.row_subset, part.row_subset);
    out.texts.append(part.texts);
    part.texts = TextStore();
    for (Failure& f : part.failures) out.failures.push_back(std::move(f));
    for (const VersionFallback& f : part.fallbacks) {
        bool known = false;
        for (const VersionFallback& g : out.fallbacks) known = known || (g.master_table == f.master_table && g.named == f.named);
        if (!known) out.fallbacks.push_back(f);
    }
    out.messages_read += part.messages_read;
    append(out.held_keys, part.held_keys);
}

}  // namespace

Result<void> read_table(const Input& input, const Request& request, unsigned threads, TableOutput& out,
                        const Interrupt& interrupt) {
    prepare(out, request);
    // The batches: contiguous runs of messages.
    std::vector<std::size_t> starts;
    std::uint64_t bytes = 0;
    for (std::size_t i = 0; i < input.messages.size(); ++i) {
        if (starts.empty() || bytes >= kBatchBytes || i - starts.back() >= kBatchMessages) {
            starts.push_back(i);
            bytes = 0;
        }
        bytes += input.messages[i].length;
    }
    starts.push_back(input.messages.size());
    const std::size_t batches = starts.size() - 1;
    PlanCache plans(request);
    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> first_failure{UINT64_MAX};
    // Workers stop when the caller interrupts (only the calling thread may
    // ask it) or, when asked to, past a message that failed.
    Interrupt worker_interrupt{[](void* flag) { return static_cast<std::atomic<bool>*>(flag)->load(); }, &stop};
    std::vector<TableOutput> parts(batches);
    // Batches are appended to `out` in order as soon as those before them
    // are, by whichever thread finishes one: the merging overlaps the
    // reading, and few batches are held at once.
    std::mutex merging;
    std::vector<bool> finished(batches, false);
    std::size_t merged = 0;
    FlatIds flat_ids;
    auto merge_ready = [&](std::size_t b) {
        std::lock_guard<std::mutex> lock(merging);
        finished[b] = true;
        for (; merged < batches && finished[merged]; ++merged) {
            merge(out, parts[merged], flat_ids);
            parts[merged] = TableOutput();
        }
    };
    std::atomic<std::size_t> next{0};
    auto work = [&](bool caller) {
        const Interrupt& poll = caller ? interrupt : worker_interrupt;
        for (;;) {
            const std::size_t b = next.fetch_add(1);
            if (b >= batches || stop.load()) return;
            if (input.stop_on_failure && starts[b] > first_failure.load()) return;
            TableOutput& part = parts[b];
            prepare(part, request);
            {
                BatchReader reader(input, request, plans, part, poll);
                for (std::size_t i = starts[b]; i < starts[b + 1]; ++i) {
                    // Asking the caller takes the interpreter's lock: every few
                    // messages is soon enough.
                    if (caller && (i - starts[b]) % kPollMessages == 0 && poll.requested()) {
                        stop = true;
                        return;
                    }
                    if (stop.load()) return;
                    if (!reader.read(i) && input.stop_on_failure) {
                        std::uint64_t seen = first_failure.load();
                        while (i < seen && !first_failure.compare_exchange_weak(seen, i)) {
                        }
                        break;
                    }
                }
            }
            merge_ready(b);
        }
    };
    const std::size_t helpers = threads > 1 && batches > 1 ? std::min<std::size_t>(threads, batches) - 1 : 0;
    std::vector<std::thread> pool;
    pool.reserve(helpers);
    for (std::size_t t = 0; t < helpers; ++t) pool.emplace_back(work, false);
    work(true);
    for (std::thread& t : pool) t.join();
    if (stop.load()) return BufrError::interrupted();
    // Batches never started (past a failure, when asked to stop there).
    for (; merged < batches; ++merged) {
        if (parts[merged].columns.empty()) prepare(parts[merged], request);
        merge(out, parts[merged], flat_ids);
        parts[merged] = TableOutput();
    }
    std::sort(out.held_keys.begin(), out.held_keys.end());
    out.held_keys.erase(std::unique(out.held_keys.begin(), out.held_keys.end()), out.held_keys.end());
    return Ok{};
}

}  // namespace korvane::rows
