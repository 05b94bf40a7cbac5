// kadenzo._native: the functions and classes behind the package's Python
// modules (kadenzo.bulk, kadenzo.columns). It lives in the same library as
// the package's own module, so both share one set of class objects.
#pragma once

#include <Python.h>

namespace kz::py {

// Creates the module and registers it as sys.modules["kadenzo._native"];
// it is no attribute of the package until something imports it.
bool register_native_module();

}  // namespace kz::py
