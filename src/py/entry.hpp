// The init functions of the two extension modules, which live in the native
// library (libkorvane); each module is a stub whose PyInit calls its own.
#pragma once

#include "py/compat.hpp"

#define KORVANE_ENTRY extern "C" __attribute__((visibility("default")))

KORVANE_ENTRY PyObject* korvane_init__korvane(void);
KORVANE_ENTRY PyObject* korvane_init__columns(void);
