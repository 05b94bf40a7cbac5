// The comparison part of kadenzo._native: the distance of two cursor plays
// and the distances between every pair of many, computed without the
// interpreter lock.
#pragma once

#include <Python.h>

namespace kz::py {

// Adds similarity, pair_matrix and the DistanceMatrix buffer class to kadenzo._native.
bool add_compare(PyObject* native);

}  // namespace kz::py
