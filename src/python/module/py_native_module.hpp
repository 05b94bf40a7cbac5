// kadenzo._native: the functions and classes behind the package's Python
// modules (kadenzo.bulk, kadenzo.columns). It lives in the same library as
// the package's own module, so both share one set of class objects, and is
// a module of its own there: the library's second initialisation function,
// PyInit__native, which python/kadenzo/_native.py has the import system's
// extension loader call.
#pragma once

#include <Python.h>

PyMODINIT_FUNC PyInit__native();
