// The extension module korvane._korvane. Its code lives in the package's native
// library, libkorvane, beside this file, which both modules share.
#include "py/entry.hpp"

PyMODINIT_FUNC PyInit__korvane(void) { return korvane_init__korvane(); }
