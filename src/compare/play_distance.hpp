// The distance between two cursor plays, in the exact form (one play's
// frames against the other interpolated) and the grid form (both resampled
// once onto a shared grid of times).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <variant>

#include "compare/cursor_path.hpp"
#include "compare/distance_sum.hpp"

namespace kz {

// A sum of distances and how many points it covers.
struct DistanceTotal {
    double sum = 0.0;
    std::size_t count = 0;

    // The mean distance, or NaN when no point was compared (the plays share
    // no time).
    double mean() const noexcept {
        return count == 0 ? std::numeric_limits<double>::quiet_NaN() : sum / static_cast<double>(count);
    }
};

// The exact form. For each point of `a` whose time lies within b's first and
// last time (both included), b's position at that time, linearly
// interpolated between b's neighbouring points, against a's position. A path
// of one point covers only its own time. `b` must have its slopes. Once
// `stop` is set, returns within a fraction of a millisecond with the points
// compared so far (the caller discards them).
DistanceTotal exact_distance(const CursorPath& a, const CursorPath& b, std::optional<double> mirror_y = std::nullopt,
                             DistanceKernel kernel = best_distance_kernel(),
                             const std::atomic<bool>* stop = nullptr) noexcept;

// A play resampled at the grid times k * step (k an integer) within its first
// and last time: the positions of points first, first + 1, ...
struct GridPath {
    std::int64_t first = 0;
    Vec<double> x;
    Vec<double> y;

    std::size_t size() const noexcept { return x.size(); }
};

// The most grid points one play may take (16 Mi points, 256 MiB): a step too
// fine for the play's length is refused rather than allowed to exhaust memory.
inline constexpr std::size_t kMaxGridPoints = std::size_t{1} << 24;

// Why a play could not be put on the grid: it would take more than
// kMaxGridPoints, or its clock counts more steps than a double holds exactly.
enum class GridFailure { TooFine };

// The resampled path (`path` must have its slopes), or the failure. Throws std::bad_alloc only.
// `step_ms` must be finite and greater than 0.
std::variant<GridPath, GridFailure> grid_path(const CursorPath& path, double step_ms);

// The grid form: the mean over the grid times both plays cover. Symmetric in
// a and b (with or without mirroring: a mirror is its own inverse and keeps
// distances).
DistanceTotal grid_distance(const GridPath& a, const GridPath& b, std::optional<double> mirror_y = std::nullopt,
                            DistanceKernel kernel = best_distance_kernel()) noexcept;

}  // namespace kz
