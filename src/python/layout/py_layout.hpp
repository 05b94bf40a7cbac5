// kadenzo._native's part for the file layout: the table and the Replay
// record's fields as Python data, so that the Python side builds its field
// lists from them instead of writing them again.
#pragma once

#include <Python.h>

namespace kz::py {

// Adds
//   layout_fields: a tuple of (name, kind, width) per field in file order;
//     width is 0 when the field's size depends on its contents;
//   replay_fields: a tuple of (name, Python type, Arrow type) per field of
//     the Replay record in its order: the type its attribute holds, and that
//     of its column in the dataset's summary table (None where it has none);
//   smallest_file: the smallest file the layout allows, every field zero or
//     absent (a header whose frame block is empty).
bool add_layout(PyObject* native);

}  // namespace kz::py
