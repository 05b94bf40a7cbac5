// Frame columns handed out through the Arrow C data interface, without a copy:
// the exported arrays point into the columns' own memory and keep it alive
// until the consumer releases them, on whatever thread it does so.
#pragma once

#include <memory>

#include "columns/arrow_c_abi.hpp"
#include "columns/frame_columns.hpp"

namespace kz {

// Columns shared by their Python object and every array exported from them.
using SharedFrameColumns = std::shared_ptr<const FrameColumns>;

SharedFrameColumns share(FrameColumns columns);

// A struct type with one non-nullable child per column ("time_delta": int64,
// "x": float64, "keys": int32, "dashing": boolean, ...), and the play mode and
// seed as metadata ("kadenzo.mode": "STD", "kadenzo.rng_seed": "-1" or absent,
// then the table's own entries). With `with_time` the clock ("time": int64)
// comes first. `out` must be released by its release callback. Throws
// std::bad_alloc.
void export_schema(const FrameColumns& columns, bool with_time, ArrowSchema* out);

// The struct array of the columns, one batch of every frame. Throws std::bad_alloc.
void export_array(const SharedFrameColumns& columns, bool with_time, ArrowArray* out);

// A stream of that schema yielding the one struct array, then its end.
void export_stream(const SharedFrameColumns& columns, bool with_time, ArrowArrayStream* out);

}  // namespace kz
