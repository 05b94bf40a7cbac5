// kadenzo._native's part for salvage: what a damaged file still holds.
#pragma once

#include <Python.h>

namespace kz::py {

// Adds salvage(source, header_only) -> (replay, fields_read, frames_partial)
// or None when the file cannot be read: `fields_read` is a bit mask of the
// layout rows read whole (bit i: layout_fields[i]).
bool add_salvage(PyObject* native);

}  // namespace kz::py
