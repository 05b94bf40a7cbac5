// A cursor play as the path its frames trace: time and position of the frames
// that count, in order, ready to be sampled or interpolated.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "columns/frame_columns.hpp"
#include "common/memory.hpp"

namespace kz {

// Frames of a play reduced to a path whose times strictly increase:
// 1. a frame's time is the running sum of time_delta over every frame up to
//    it (dropped frames included: their delta still moves the clock);
// 2. a frame whose x or y is not finite (NaN, infinite) has no position and
//    is dropped;
// 3. a frame earlier than the last frame kept is dropped (the clock never
//    goes back), and a frame at the same time as the last frame kept takes
//    its place (of frames with equal times, the later counts).
// `slope_x[k]` and `slope_y[k]` are the changes per millisecond from point k
// to point k + 1, so interpolation costs no division (empty when made
// without slopes).
struct CursorPath {
    Vec<double> time;  // ms since the start of the play
    Vec<double> x;
    Vec<double> y;
    Vec<double> slope_x;  // one fewer than the points
    Vec<double> slope_y;

    std::size_t size() const noexcept { return time.size(); }
    bool empty() const noexcept { return time.empty(); }

    // The segment k with time[k] <= t < time[k + 1], for t within
    // [time.front(), time.back()), by binary search.
    std::size_t segment_of(double t) const noexcept;

    // Positions at `count` sorted times, walking the segments from `segment`,
    // the one holding the first time; the times lie within the path's range,
    // before its last time, and the path has its slopes. Returns the segment
    // of the last time.
    std::size_t interpolate(const double* times, std::size_t count, std::size_t segment, double* x_out,
                            double* y_out) const noexcept;
};

// Whether a path gets its slopes: a play is interpolated (the b of the exact
// form, or resampled onto a grid) only with them; one only sampled at its
// own points (the a of the exact form) needs none, and skips two divisions per point.
enum class Slopes { No, Yes };

// The path of the frames given as columns. Once `stop` is set, returns
// within a millisecond or two with part of the path (the caller discards
// it). Throws std::bad_alloc only.
CursorPath cursor_path(std::span<const std::int64_t> time_delta, std::span<const double> x, std::span<const double> y,
                       Slopes slopes = Slopes::Yes, const std::atomic<bool>* stop = nullptr);

// The columns of a cursor-mode play (fields time_delta, x, y), or none for
// any other mode's columns.
struct CursorColumns {
    std::span<const std::int64_t> time_delta;
    std::span<const double> x;
    std::span<const double> y;
};
std::optional<CursorColumns> cursor_columns(const FrameColumns& columns) noexcept;

}  // namespace kz
