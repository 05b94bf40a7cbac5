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
#include "compare/exact_walk.hpp"

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

// A pair's distances are summed chunk by chunk: chunks of a's points (the
// exact form) or of grid times (the grid form), at fixed multiples of
// kChunkPoints. The matrix sums one chunk of many pairs while their data is
// in cache; a single pair is summed over the same chunks, so both give the
// same value, to the bit.
inline constexpr std::size_t kChunkPoints = 512;

// The exact form of one pair, chunk by chunk (see exact_distance). Holds the
// paths, which must outlive it.
class ExactPairSum {
public:
    ExactPairSum(const CursorPath& a, const CursorPath& b) noexcept;

    // Chunk c holds a's points [c * kChunkPoints, (c + 1) * kChunkPoints);
    // those compared lie in chunks [first_chunk(), end_chunk()).
    std::int64_t first_chunk() const noexcept { return static_cast<std::int64_t>(first_ / kChunkPoints); }
    std::int64_t end_chunk() const noexcept {
        return static_cast<std::int64_t>((inner_end_ + kChunkPoints - 1) / kChunkPoints);
    }
    // Adds the chunks in order, each once.
    void add_chunk(std::int64_t chunk, std::optional<double> mirror_y, DistanceKernel kernel) noexcept;
    // The total once every chunk is added.
    DistanceTotal total(std::optional<double> mirror_y) const noexcept;

private:
    const CursorPath* a_;
    const CursorPath* b_;
    std::size_t first_ = 0;      // a's first point within b's range
    std::size_t inner_end_ = 0;  // past a's last point before b's last time
    bool meets_last_ = false;    // a point of a at b's last time, which takes b's last position
    DistanceTotal sum_;
    std::size_t hint_;
};

// The exact form. For each point of `a` whose time lies within b's first and
// last time (both included), b's position at that time, linearly
// interpolated between b's neighbouring points, against a's position. A path
// of one point covers only its own time. `b` must have its slopes. Once
// `stop` is set, returns within a chunk (well under a millisecond) with
// nothing compared, as if the plays shared no time (the caller discards it).
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

// The grid form of one pair, chunk by chunk (see grid_distance). Holds the
// grids, which must outlive it.
class GridPairSum {
public:
    GridPairSum(const GridPath& a, const GridPath& b) noexcept;

    // Chunk c holds the grid times k * step for k in [c * kChunkPoints, (c + 1) * kChunkPoints).
    std::int64_t first_chunk() const noexcept { return chunk_of(first_); }
    std::int64_t end_chunk() const noexcept { return first_ < end_ ? chunk_of(end_ - 1) + 1 : chunk_of(first_); }
    void add_chunk(std::int64_t chunk, std::optional<double> mirror_y, DistanceKernel kernel) noexcept;
    DistanceTotal total(std::optional<double>) const noexcept { return sum_; }

private:
    static std::int64_t chunk_of(std::int64_t k) noexcept {
        const auto size = static_cast<std::int64_t>(kChunkPoints);
        return k >= 0 ? k / size : -((-k + size - 1) / size);
    }
    const GridPath* a_;
    const GridPath* b_;
    std::int64_t first_ = 0;  // the grid times both cover: k in [first_, end_)
    std::int64_t end_ = 0;
    DistanceTotal sum_;
};

// The grid form: the mean over the grid times both plays cover. Symmetric in
// a and b (with or without mirroring: a mirror is its own inverse and keeps
// distances).
DistanceTotal grid_distance(const GridPath& a, const GridPath& b, std::optional<double> mirror_y = std::nullopt,
                            DistanceKernel kernel = best_distance_kernel()) noexcept;

}  // namespace kz
