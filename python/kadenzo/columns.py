"""The frames of a play as columns: one typed array per field, without one
Python object per frame.

    import kadenzo.columns
    columns = kadenzo.columns.frames("samples/std.kvr")
    columns.x                      # a read-only memoryview of float64 values
    numpy.asarray(columns.x)       # the same memory as a NumPy array, no copy
    pyarrow.table(columns)         # an Arrow table over the same memory

The fields are those of the mode's frame record, in its order:

    STD    time_delta (int64), x (float64), y (float64), keys (int32)
    TAIKO  time_delta (int64), x (int64), keys (int32)
    CTB    time_delta (int64), x (float64), dashing (bool)
    MANIA  time_delta (int64), keys (int32)

Key sets are their 32-bit patterns (`int(frame.keys)` of a frame object).
NumPy, pandas and pyarrow are optional: the columns are plain buffers.
"""
from __future__ import annotations

import importlib
import os
from typing import Any, Union

from kadenzo import Replay
from kadenzo._native import FrameColumns, frame_columns, frame_count

__all__ = ["FrameColumns", "frames", "frame_count", "Source"]

# A decoded replay, a path, or the whole contents of a file.
Source = Union[Replay, str, "os.PathLike[str]", "os.PathLike[bytes]", bytes, bytearray, memoryview]


def frames(source: Source) -> FrameColumns:
    """The frames of `source`'s own mode as columns.

    `source` is a decoded `Replay` (its frames are read in place: no frame
    object is built), a path (`str` or `os.PathLike`), or a bytes-like object
    holding a whole file. Paths and contents are decoded with the interpreter
    lock released; a file that does not decode raises a
    `kadenzo.errors.ReplayError`. A header-only `Replay` gives columns of
    length 0."""
    if isinstance(source, Replay):
        return frame_columns(source)
    from kadenzo import bulk  # imported on first use: a Replay needs none of it

    return frame_columns(bulk.decode_one(source))


# NumPy and pandas are optional, so their types are not named here.
def _to_numpy(columns: FrameColumns, *, structured: bool = False) -> Any:
    numpy = importlib.import_module("numpy")

    if not structured:
        return {name: numpy.asarray(columns[name]) for name in columns.names}  # views, no copy
    array = numpy.empty(len(columns), numpy.dtype([(name, columns[name].format) for name in columns.names]))
    for name in columns.names:
        array[name] = columns[name]
    return array


def _to_pandas(columns: FrameColumns) -> Any:
    return importlib.import_module("pandas").DataFrame(_to_numpy(columns))

