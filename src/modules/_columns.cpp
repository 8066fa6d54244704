// The extension module korvane._columns. Its code lives in the package's native
// library, libkorvane, beside this file, which both modules share.
#include "py/entry.hpp"

PyMODINIT_FUNC PyInit__columns(void) { return korvane_init__columns(); }
