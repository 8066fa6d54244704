// The plan of a request for one message template: the descriptors of a
// message and the tables it is read with decide which elements it can hold,
// and so which items feed which selector and whether it can give a row at
// all. Made once per template and shared by every message of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "rows/request.hpp"
#include "tables/table_set.hpp"

namespace korvane::rows {

class Plan {
public:
    // With `expand` false the descriptors are taken as ones that do not
    // expand (known to have failed before), and the plan starts incomplete.
    Plan(const TableSet& tables, std::span<const std::uint32_t> descriptors, const Request& request,
         bool expand = true);

    // The selectors the items of element `code` feed, in selector order
    // (empty for none). With an expansion that failed the plan learns codes
    // as they come, so it is then to be used by one thread (see complete()).
    const std::vector<std::uint16_t>& selectors_of(std::uint32_t code);

    // Whether the descriptors expanded: then the codes of the template are
    // all known and the plan is only read.
    bool complete() const noexcept { return complete_; }
    // Per selector: whether the template can give items of it.
    const std::vector<bool>& present() const noexcept { return present_; }
    // Whether a message of the template can give a row (Request::needed).
    bool can_give_rows() const noexcept { return can_give_rows_; }
    // The keys of the elements the template can give, sorted.
    const std::vector<std::string>& keys() const noexcept { return keys_; }

private:
    void learn(std::uint32_t code);

    const TableSet& tables_;
    const Request& request_;
    bool complete_ = true;
    bool can_give_rows_ = true;
    std::vector<bool> present_;
    std::vector<std::string> keys_;
    std::unordered_map<std::uint32_t, std::vector<std::uint16_t>> selectors_;
    std::vector<std::uint16_t> none_;
};

// Plans by template (tables and descriptors), for one request; thread-safe.
class PlanCache {
public:
    explicit PlanCache(const Request& request) : request_(request) {}
    // The plan of the template; a fresh one, not kept, when the template's
    // expansion fails (its codes are learnt message by message). That the
    // expansion fails is kept: it can take millions of steps before it does,
    // which every message of the template would otherwise pay again.
    std::shared_ptr<Plan> plan(const TableSet& tables, std::span<const std::uint32_t> descriptors);

private:
    const Request& request_;
    std::mutex mutex_;
    std::unordered_map<std::string, std::shared_ptr<Plan>> plans_;
    std::unordered_set<std::string> unexpanded_;
};

}  // namespace korvane::rows
