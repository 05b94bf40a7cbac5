// kadenzo._native's part of kadenzo.dataset: the tables' schemas, record
// batches assembled from decoded files, and a C stream over batches.
#pragma once

#include <Python.h>

namespace kz::py {

// Adds dataset_schema, dataset_batch and dataset_stream to kadenzo._native.
bool add_dataset(PyObject* native);

}  // namespace kz::py
