// What a table of observations asks of the messages: the selectors whose
// items become its columns, the rows it keeps, and the filters the core can
// decide itself. Made once per call by the caller (the Python layer), which
// also checks the names and keeps what only it can do (callables, computed
// keys, header columns).
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace korvane::rows {

// The items of one key (an element's key, see tables/keys.hpp) or of one
// descriptor code: all of them, or only the one of `rank` among the items of
// that key or code in its subset (counted from 1, in item order).
struct Selector {
    std::string key;          // empty: by `code`
    std::uint32_t code = 0;
    std::uint32_t rank = 0;   // 0: every item
};

// A filter on the value of a selector's item in a row: the row passes when
// that item is present (not missing, not absent) and equals one of `numbers`
// or `texts`, or, for a range, lies in [low, high].
struct ValueFilter {
    std::size_t selector = 0;
    bool range = false;
    std::vector<double> numbers;
    std::vector<std::string> texts;
    double low = -std::numeric_limits<double>::infinity();
    double high = std::numeric_limits<double>::infinity();
};

struct Request {
    std::vector<Selector> selectors;
    // A row is kept only when, for each group, it has an item of every
    // selector in the group (the item's value may be missing).
    std::vector<std::vector<std::size_t>> required;
    std::vector<ValueFilter> filters;
    // A message is decoded only when its descriptors can give every selector
    // of each group here (those of filters and required columns) and at least
    // one selector at all: otherwise it cannot give a row.
    std::vector<std::vector<std::size_t>> needed;
    // A row per subset and a column per (key, rank) of every element item,
    // rather than rows following the replications (the selectors then only
    // choose which messages are read, by `needed`).
    bool flat = false;
};

}  // namespace korvane::rows
