// kadenzo._native's part for the column form of bulk decoding.
#pragma once

#include <Python.h>

namespace kz::py {

// Adds ColumnsStream (the class) and columns_stream.
bool add_columns_stream(PyObject* native);

}  // namespace kz::py
