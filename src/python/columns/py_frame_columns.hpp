// kadenzo._native.FrameColumns: the frames of one play as typed buffers and as
// Arrow data, and the functions that make them from a decoded Replay.
#pragma once

#include <Python.h>

#include <cstddef>
#include <type_traits>

#include "columns/arrow_export.hpp"

namespace kz::py {

// The record of a FrameColumns object: shared with the arrays exported from
// it. `with_time` puts the clock first among its names and Arrow columns.
struct FrameColumnsRecord {
    SharedFrameColumns columns;
    bool with_time = false;
};

// The record of a KeyPresses object: a table of presses, one row each.
struct KeyPressesRecord {
    SharedFrameColumns columns;
};

// The record of the object behind one column's memoryview.
struct ColumnBufferRecord {
    SharedFrameColumns columns;
    const Column* column = nullptr;  // one of `columns`' own
    Py_ssize_t shape = 0;            // rows
    Py_ssize_t stride = 0;           // bytes per value
};

PyTypeObject* class_of(std::type_identity<FrameColumnsRecord>);
PyTypeObject* class_of(std::type_identity<KeyPressesRecord>);
PyTypeObject* class_of(std::type_identity<ColumnBufferRecord>);

// A new FrameColumns object owning `columns`. Stops when memory is exhausted.
PyObject* make_frame_columns(FrameColumns columns);

// Adds FrameColumns, KeyPresses, frame_columns(replay), frame_count(replay)
// and key_presses(columns) to kadenzo._native.
bool add_frame_columns(PyObject* native);

}  // namespace kz::py
