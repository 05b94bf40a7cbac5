// kadenzo._native's part for frame blocks alone (kadenzo.frames).
#pragma once

#include <Python.h>

namespace kz::py {

// Adds decode_block.
bool add_frames(PyObject* native);

}  // namespace kz::py
