// kadenzo._native's part for the file layout: the table as Python data, so
// that the Python side's field lists can be checked against it.
#pragma once

#include <Python.h>

namespace kz::py {

// Adds layout_fields: a tuple of (name, kind, width) per field in file
// order; width is 0 when the field's size depends on its contents.
bool add_layout(PyObject* native);

}  // namespace kz::py
