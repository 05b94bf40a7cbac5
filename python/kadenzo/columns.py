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
Every play also has `time` (int64), the running sum of `time_delta`: it is an
attribute and a key (`columns.time`, `columns["time"]`) but not one of
`names`, so existing tables keep their shape; `columns.with_time()` shares the
same memory with `time` first among its names and Arrow columns.
NumPy, pandas and pyarrow are optional: the columns are plain buffers.

`key_presses(columns)` gives the presses of a play as a table with the same
interfaces, and `stats(columns)` the figures most analyses compute first;
both also take what `frames` takes (a Replay, a path, the contents).
"""

from __future__ import annotations

import collections
import importlib
import math
import os
import statistics
from typing import TYPE_CHECKING, Any, Union

from kadenzo import Replay
from kadenzo._native import FrameColumns, KeyPresses, frame_columns, frame_count
from kadenzo._native import key_presses as _key_presses

if TYPE_CHECKING:
    from kadenzo.bulk import BinaryFile

__all__ = ["FrameColumns", "KeyPresses", "frames", "frame_count", "key_presses", "stats", "Source"]

# A decoded replay, a path, the whole contents of a file, or an open binary file.
Source = Union[Replay, str, "os.PathLike[str]", "os.PathLike[bytes]", bytes, bytearray, memoryview, "BinaryFile"]
"""What `frames` takes: a decoded `Replay`, a path, a file's contents or an
open binary file."""


def frames(source: Source) -> FrameColumns:
    """The frames of `source`'s own mode as columns.

    `source` is a decoded `Replay` (its frames are read in place: no frame
    object is built), a path (`str` or `os.PathLike`; "plays.zip::a.kvr"
    names an archive's member), a bytes-like object
    holding a whole file, or a binary file object (read to its end, as
    `kadenzo.bulk.decode_one` reads it). Paths and contents are decoded with the interpreter
    lock released; a file that does not decode raises a
    `kadenzo.errors.ReplayError`. A header-only `Replay` gives columns of
    length 0."""
    if isinstance(source, Replay):
        return frame_columns(source)
    from kadenzo import bulk  # imported on first use: a Replay needs none of it

    return frame_columns(bulk.decode_one(source))


def _columns_of(source: FrameColumns | Source) -> FrameColumns:
    return source if isinstance(source, FrameColumns) else frames(source)


def key_presses(columns: FrameColumns | Source) -> KeyPresses:
    """The key presses of a play (its columns, or anything `frames` takes):
    one row per maximal run of frames holding a
    key, in press order (presses on the same frame by bit, lowest first).

    Columns: `key` (the key's bit, int32), `press_time` and `release_time`
    (ms on the play's clock), `duration` (their difference), `frame` (the
    index of the pressing frame) and `held_to_end` (bool). A press ends at the
    first frame that does not hold the key; a key the last frame still holds
    is released at the last frame's time and marked `held_to_end`.
    `presses.key_names()` gives each row's key by its member name ("bit 7"
    for a bit that names no member), and
    `presses.key_bits` the mode's table ("M1=1,M2=2,K1=4,K2=8,SMOKE=16").

    In the cursor mode the keyboard keys set their mouse bit too (K1 arrives
    as M1|K1, K2 as M2|K2), so each press names the physical key: K1 while K1
    is held, M1 only while M1 is held without K1 (likewise K2 and M2). A mouse
    button held down under its keyboard key cannot be told apart from it. In
    the catch mode `dashing` is the one key (bit 1). Raises `OverflowError`
    when the play's clock leaves 64 bits."""
    return _key_presses(_columns_of(columns))


def stats(columns: FrameColumns | Source) -> dict[str, Any]:
    """Per-play figures as a dict, from the play's columns or anything
    `frames` takes:

    - `frame_count`; `play_length` (ms: the clock at the last frame);
    - `frame_time_median`, `frame_time_mean` (ms, over frames whose
      time_delta is positive: the distribution that shows altered speed);
    - `presses` (all keys) and `presses_by_key` ({member name: count});
      `press_duration_mean` (ms);
    - cursor and catch modes: `path_length` (pixels travelled; x only in the
      catch mode) and `mean_speed` (pixels per second of play); None elsewhere.

    Values are None where they have no data (no frames, no presses)."""
    columns = _columns_of(columns)
    presses = key_presses(columns)
    deltas = [delta for delta in columns.time_delta.tolist() if delta > 0]
    length = columns.time[-1] if len(columns) else 0
    counts = collections.Counter(presses.key.tolist())
    names = dict(zip(presses.key.tolist(), presses.key_names()))
    # In the order of the keys' bits, as the mode's key set lists them.
    by_key = {names[key]: counts[key] for key in sorted(counts, key=lambda key: key & 0xFFFFFFFF)}
    durations = presses.duration.tolist()
    path = _path_length(columns)
    return {
        "frame_count": len(columns),
        "play_length": length,
        "frame_time_median": statistics.median(deltas) if deltas else None,
        "frame_time_mean": statistics.fmean(deltas) if deltas else None,
        "presses": len(presses),
        "presses_by_key": by_key,
        "press_duration_mean": statistics.fmean(durations) if durations else None,
        "path_length": path,
        "mean_speed": path * 1000 / length if path is not None and length > 0 else None,
    }


def _path_length(columns: FrameColumns) -> float | None:
    if "x" not in columns.names or columns.x.format != "d":
        return None  # drums and columns have no cursor or catcher
    numpy: Any
    try:
        numpy = importlib.import_module("numpy")
    except ImportError:
        numpy = None
    if numpy is not None:  # the same sum without a Python float per frame
        steps = [numpy.diff(numpy.asarray(columns[name])) for name in ("x", "y") if name in columns.names]
        return float(numpy.sum(numpy.hypot(*steps) if len(steps) == 2 else numpy.abs(steps[0])))
    xs = columns.x.tolist()
    if "y" not in columns.names:
        return math.fsum(abs(b - a) for a, b in zip(xs, xs[1:]))
    ys = columns.y.tolist()
    return math.fsum(math.hypot(x1 - x0, y1 - y0) for x0, y0, x1, y1 in zip(xs, ys, xs[1:], ys[1:]))
