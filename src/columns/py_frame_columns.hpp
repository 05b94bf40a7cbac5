// kadenzo._native.FrameColumns: the frames of one play as typed buffers and as
// Arrow data, and the functions that make them from a decoded Replay.
#pragma once

#include <Python.h>

#include <cstddef>
#include <type_traits>

#include "columns/arrow_export.hpp"

namespace kz::py {

// The record of a FrameColumns object: shared with the arrays exported from it.
struct FrameColumnsRecord {
    SharedFrameColumns columns;
};

// The record of the object behind one column's memoryview.
struct ColumnBufferRecord {
    SharedFrameColumns columns;
    std::size_t index = 0;
    Py_ssize_t shape = 0;   // frames
    Py_ssize_t stride = 0;  // bytes per value
};

PyTypeObject* class_of(std::type_identity<FrameColumnsRecord>);
PyTypeObject* class_of(std::type_identity<ColumnBufferRecord>);

// A new FrameColumns object owning `columns`. Stops when memory is exhausted.
PyObject* make_frame_columns(FrameColumns columns);

// Adds FrameColumns, frame_columns(replay) and frame_count(replay) to kadenzo._native.
bool add_frame_columns(PyObject* native);

}  // namespace kz::py
