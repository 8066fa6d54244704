// The key by which users name an element: ecCodes' abbreviation
// ("airTemperature"), or, for tables without abbreviations (the WMO CSV
// tables), a key made from the element's name.
#pragma once

#include <string>
#include <string_view>

#include "tables/table_set.hpp"

namespace korvane {

// The words of `name` (runs of ASCII letters and digits), the first in lower
// case, the others capitalised, joined: "Temperature/air temperature" gives
// "temperatureAirTemperature".
std::string key_from_name(std::string_view name);

// The element's abbreviation, else key_from_name of its name.
std::string element_key(const ElementDefinition& e);

}  // namespace korvane
