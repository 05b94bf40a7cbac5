// kadenzo._native's part for bulk decoding: the ordered result stream over a
// Python iterator of paths, and the single-file decode, both waiting and
// decoding without the interpreter lock.
#pragma once

#include <Python.h>

namespace kz::py {

// Adds BulkStream and decode_one to the native module.
bool add_bulk(PyObject* native);

}  // namespace kz::py
