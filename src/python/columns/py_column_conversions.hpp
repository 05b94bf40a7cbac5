// The conversions of column tables (FrameColumns, KeyPresses) to NumPy and
// pandas, and KeyPresses' key names: the libraries are imported only when a
// conversion is asked for, so they stay optional.
#pragma once

#include <Python.h>

namespace kz::py {

// to_numpy(*, structured=False): a dict of NumPy arrays over the columns'
// memory (no copy), or with structured=True one structured array (a copy).
PyObject* columns_to_numpy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

// to_pandas(): a pandas DataFrame of the columns.
PyObject* columns_to_pandas(PyObject* self, PyObject*) noexcept;

// key_names(): each press's key by its member name ("K1"), as a list.
PyObject* key_names(PyObject* self, PyObject*) noexcept;

}  // namespace kz::py
