"""Comparing cursor plays: how far apart two players' cursors were, on
average, over the time both plays cover; for one pair, or for every pair of
many plays on all cores.

    import kadenzo.compare
    kadenzo.compare.similarity("a.kvr", "b.kvr")             # mean distance in playfield units
    kadenzo.compare.matrix(plays, grid_ms=16)                # N x N, zero-copy into numpy.asarray
    kadenzo.compare.matrix(plays, grid_ms=16, top=10)        # the 10 closest pairs

A play is a cursor-mode `FrameColumns`, or anything `kadenzo.columns.frames`
takes (a `Replay`, a path, a file's contents). The path of a play is its
frames in order, with each frame's time the running sum of `time_delta`:

- a frame whose x or y is NaN or infinite has no position and is left out
  (its `time_delta` still moves the clock);
- the clock never goes back: a frame earlier than the last frame kept is
  left out, and of frames with equal times the later one counts.

The exact form (`similarity`, and `matrix` without `grid_ms`) measures, at
each frame time of `a` within the first and last frame time of `b` (both
included), the Euclidean distance from a's cursor to b's cursor there,
linearly interpolated between b's neighbouring frames, and returns the mean.
A play of one frame covers only its own time. When no frame time of `a`
falls within b's range (no overlap, or a play without frames), the distance
is NaN. It is not symmetric: `similarity(a, b)` samples at a's frames.

The grid form (`matrix(..., grid_ms=G)`) puts every play once onto the shared
times k * G (k an integer, 0 being the start of the play's clock), each
position interpolated within the play's own range, and compares two plays
at the grid times both cover. Each play is resampled once however many pairs
it enters, so a pair costs one pass over the shared grid times; both plays
are interpolated (in the exact form only b is), the samples are the grid's
rather than a's frames, and the result is symmetric. For a grid about as
fine as the frames (16 ms for plays at 60 Hz), the two forms agree closely.

`mirror_y=H` compares against the other play mirrored top to bottom
(y -> H - y; 384 is the height of the game's playfield), for plays of a
mirrored beatmap.

Distances are computed without the interpreter lock, vectorised; `matrix`
spreads the pairs over the worker pool (see kadenzo.bulk), and Ctrl-C stops
it, or a `similarity` of two very long plays, within a fraction of a second
with `KeyboardInterrupt`.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Iterable
from typing import NamedTuple, Union

from kadenzo import _native
from kadenzo import columns as _columns
from kadenzo._native import FrameColumns

__all__ = ["Pair", "Play", "similarity", "matrix", "pair_count"]


# A cursor-mode FrameColumns, or anything kadenzo.columns.frames takes.
Play = Union[FrameColumns, _columns.Source]
"""A play: a cursor-mode `FrameColumns`, or anything `kadenzo.columns.frames`
takes (a `Replay`, a path, a file's contents)."""


class Pair(NamedTuple):
    """One of the most similar pairs: the positions of two plays (i < j) in
    the sequence given to `matrix`, and their distance."""

    i: int
    j: int
    distance: float


def similarity(a: Play, b: Play, *, mirror_y: float | None = None) -> float:
    """The mean distance between a's cursor and b's cursor, interpolated at
    each of a's frame times that b's frames cover; NaN when there is none.

    With `mirror_y=H`, b's y is taken as H - y. Raises ValueError for a play
    that is not cursor-mode, what `kadenzo.columns.frames` raises for a
    source it cannot read, and KeyboardInterrupt at Ctrl-C (plays of millions
    of frames are compared on the worker pool while this thread watches)."""
    height = _optional_real("mirror_y", mirror_y)
    distance: float = _native.similarity(_cursor_play(a, "a"), _cursor_play(b, "b"), height)
    return distance


def matrix(
    plays: Iterable[Play],
    *,
    grid_ms: float | None = None,
    mirror_y: float | None = None,
    top: int | None = None,
    threads: int | None = None,
    progress: Callable[[int, int], None] | None = None,
) -> memoryview | list[Pair]:
    """The distances between every pair of `plays`.

    Without `top`: an N x N float64 matrix as a memoryview (numpy.asarray
    makes an array of its memory, no copy). Without `grid_ms`, entry [i, j]
    is `similarity(plays[i], plays[j], mirror_y=...)`, to the bit; with
    `grid_ms` it is the grid form's distance, and the matrix is symmetric.

    With `top=k`: the k most similar pairs i < j as a list of `Pair`, closest
    first (ties by i, then j); entry [i, j] is the distance used, and pairs
    whose distance is NaN are left out. Memory then grows with k, not with N * N.

    `threads` is the most worker-pool threads used (by default all of them).
    `progress`, when given, is called on this thread about 20 times a second
    with the pairs compared so far and their number in all (`pair_count`).

    `grid_ms` and `mirror_y` are numbers (`grid_ms` greater than 0), `top` and
    `threads` integers of 1 or more (a `top` past the number of pairs means
    every pair): TypeError for a wrong type, ValueError for a value out of
    range, a play that is not cursor-mode, or a `grid_ms` that would put more
    than 16,777,216 points on one play's grid."""
    step = _optional_real("grid_ms", grid_ms)
    if step is not None and step <= 0:
        raise ValueError(f"grid_ms must be greater than 0, not {grid_ms!r}")
    height = _optional_real("mirror_y", mirror_y)
    count = _optional_count("top", top)
    workers = _optional_count("threads", threads)
    checked = _cursor_plays(plays)
    if count is not None:  # more pairs than there are is every pair
        count = min(count, max(1, len(checked) * (len(checked) - 1) // 2))
    total = pair_count(len(checked), grid_ms=step, top=count)
    report = None if progress is None else lambda done: progress(done, total)
    result = _native.pair_matrix(checked, step, height, count, min(workers or 0, _MAX_THREADS), report)
    if count is None:
        view: memoryview = result
        return view
    return [Pair(i, j, distance) for i, j, distance in result]


def pair_count(plays: int, *, grid_ms: float | None = None, top: int | None = None) -> int:
    """How many pairs `matrix` compares for `plays` plays (what its progress counts up to)."""
    if top is not None:
        return plays * (plays - 1) // 2
    if grid_ms is not None:
        return plays * (plays + 1) // 2
    return plays * plays


# More threads than this are never used: the pool has at most 256.
_MAX_THREADS = 1 << 16


def _cursor_play(play: Play, what: str) -> FrameColumns:
    columns = play if isinstance(play, FrameColumns) else _columns.frames(play)
    if "y" not in columns.names:
        raise ValueError(f"{what} is not a cursor-mode play (its mode is {columns.mode!r})")
    return columns


def _cursor_plays(plays: Iterable[Play]) -> list[FrameColumns]:
    if isinstance(plays, (str, bytes, bytearray, memoryview)):
        raise ValueError("plays must be a collection of plays, not one string or buffer")
    return [_cursor_play(play, f"play {index}") for index, play in enumerate(plays)]


def _optional_real(name: str, value: float | None) -> float | None:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a number or None, not {type(value).__name__}")
    number = float(value)
    if not math.isfinite(number):
        raise ValueError(f"{name} must be finite, not {value!r}")
    return number


def _optional_count(name: str, value: int | None) -> int | None:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int or None, not {type(value).__name__}")
    if value < 1:
        raise ValueError(f"{name} must be 1 or more, not {value!r}")
    return value
