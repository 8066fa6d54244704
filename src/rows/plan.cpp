#include "rows/plan.hpp"

#include <algorithm>

#include "tables/expand.hpp"
#include "tables/keys.hpp"

namespace korvane::rows {

Plan::Plan(const TableSet& tables, std::span<const std::uint32_t> descriptors, const Request& request, bool expand)
    : tables_(tables), request_(request), present_(request.selectors.size(), false) {
    Result<std::vector<std::uint32_t>> expanded = BufrError::table("not expanded");
    if (expand) expanded = expand_codes(tables, descriptors);
    if (!expanded) {
        // Known only from the data: nothing can be ruled out beforehand.
        complete_ = false;
        std::fill(present_.begin(), present_.end(), true);
        return;
    }
    std::vector<std::uint32_t> codes = std::move(expanded).value();
    std::sort(codes.begin(), codes.end());
    codes.erase(std::unique(codes.begin(), codes.end()), codes.end());
    for (const std::uint32_t code : codes) {
        if (code >= 100000) continue;
        learn(code);
        if (const ElementDefinition* def = tables.find_element(code)) keys_.push_back(element_key(*def));
    }
    std::sort(keys_.begin(), keys_.end());
    keys_.erase(std::unique(keys_.begin(), keys_.end()), keys_.end());
    for (const auto& [code, selectors] : selectors_)
        for (const std::uint16_t k : selectors) present_[k] = true;
    bool any = false;
    for (const bool p : present_) any = any || p;
    can_give_rows_ = any;
    for (const auto& group : request.needed)
        for (const std::size_t k : group)
            if (!present_[k]) can_give_rows_ = false;
}

void Plan::learn(std::uint32_t code) {
    std::vector<std::uint16_t>& out = selectors_[code];
    const ElementDefinition* def = tables_.find_element(code);
    const std::string key = def != nullptr ? element_key(*def) : std::string();
    for (std::size_t k = 0; k < request_.selectors.size(); ++k) {
        const Selector& s = request_.selectors[k];
        const bool match = s.key.empty() ? s.code == code : (def != nullptr && s.key == key);
        if (match) out.push_back(static_cast<std::uint16_t>(k));
    }
}

const std::vector<std::uint16_t>& Plan::selectors_of(std::uint32_t code) {
    auto it = selectors_.find(code);
    if (it != selectors_.end()) return it->second;
    if (complete_) {
        // A code the expansion did not give: it feeds only selectors naming
        // its code. The plan is shared, so the answer is not kept.
        thread_local std::vector<std::uint16_t> by_code;
        by_code.clear();
        for (std::size_t k = 0; k < request_.selectors.size(); ++k)
            if (request_.selectors[k].key.empty() && request_.selectors[k].code == code)
                by_code.push_back(static_cast<std::uint16_t>(k));
        return by_code;
    }
    learn(code);
    return selectors_.find(code)->second;
}

std::shared_ptr<Plan> PlanCache::plan(const TableSet& tables, std::span<const std::uint32_t> descriptors) {
    std::string key(reinterpret_cast<const char*>(&tables), sizeof(&tables));
    key.append(reinterpret_cast<const char*>(descriptors.data()), descriptors.size_bytes());
    bool expand = true;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = plans_.find(key);
        if (it != plans_.end()) return it->second;
        expand = !unexpanded_.contains(key);
    }
    auto plan = std::make_shared<Plan>(tables, descriptors, request_, expand);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!plan->complete()) {
        unexpanded_.insert(std::move(key));
        return plan;
    }
    return plans_.emplace(key, std::move(plan)).first->second;
}

}  // namespace korvane::rows
