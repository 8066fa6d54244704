// Numbers as the command prints them.
#pragma once

#include <string>

namespace korvane {

// Appends `v` as the command shows a value: a whole number below 10^15 in
// magnitude without a fraction ("273", "-0" as "0"); any other number as
// Python's repr() writes it (the shortest digits that read back as `v`, in
// positional notation from 1e-4 to below 1e16 with ".0" for whole numbers,
// else as "1.5e-05", "1e+16"; "nan", "inf", "-inf").
void append_number(std::string& out, double v);

}  // namespace korvane
