// kadenzo._native's part for Mod values as plain 32-bit numbers: what pickling
// needs, since a Mod read from a header may hold bit 31, which every public
// read of the value refuses.
#pragma once

#include <Python.h>

namespace kz::py {

// Adds mod_bits(mods) -> int (0 to 2**32 - 1) and mod_from_bits(bits) -> Mod.
bool add_mod_bits(PyObject* native);

}  // namespace kz::py
