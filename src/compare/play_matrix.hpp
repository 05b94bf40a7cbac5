// Distances between every pair of many cursor plays, computed on the worker
// pool: the whole matrix, or only the most similar pairs.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <variant>

#include "worker_pool/worker_pool.hpp"
#include "columns/frame_columns.hpp"
#include "common/memory.hpp"
#include "failure/matrix_failure.hpp"

namespace kz {

struct MatrixOptions {
    std::optional<double> grid_ms;   // the grid form with this step; the exact form when absent
    std::optional<double> mirror_y;  // compare each play against the others mirrored
    std::optional<std::size_t> top;  // only the `top` most similar pairs
    std::size_t threads = 0;         // most pool threads used; 0 for the pool's size
};

// One pair of the most similar ones: plays i < j and their distance.
struct RankedPair {
    std::uint32_t i = 0;
    std::uint32_t j = 0;
    double distance = 0.0;
};

// Row-major N x N distances: entry [i * N + j] is exact_distance(play i, play j)
// (or grid_distance) as a mean, NaN where the plays share no time. The grid
// form is symmetric and computes each pair once.
using DistanceMatrix = Vec<double>;
// Sorted by distance, then i, then j; pairs with a NaN distance never enter.
using TopPairs = Vec<RankedPair>;

// Called on the calling thread every `interval` while the work runs, with
// the number of pairs compared so far; returning false stops the work, which
// then ends in MatrixFailure::Stopped within one pair per thread.
struct MatrixWatch {
    std::chrono::milliseconds interval{50};
    std::function<bool(std::uint64_t pairs_done)> waiting;
};

// The exact distance of one pair (exact_distance as a mean; NaN where the
// plays share no time), or the failure (NotCursorMode with play 0 for a, 1
// for b; Stopped). A pair large enough to take more than a few milliseconds
// is computed on the pool while the calling thread watches, and a stop ends
// it within a millisecond or two; a smaller one on the calling thread.
// Throws std::bad_alloc only.
std::variant<double, MatrixFailure> play_similarity(const FrameColumns& a, const FrameColumns& b,
                                                    std::optional<double> mirror_y, WorkerPool& pool,
                                                    const MatrixWatch& watch);

// The number of pairs a matrix of `plays` compares (what progress counts up to).
std::uint64_t matrix_pair_count(std::size_t plays, const MatrixOptions& options) noexcept;

// The distances of `plays` (read only; shared with the caller, who keeps them
// alive). Memory: one path per play (the exact form: 40 bytes per frame; the
// grid form: 16 bytes per grid point, the frames only while being resampled),
// plus the N x N matrix, or with `top` at most max(2 * top, 4096) pairs per
// thread and `top` kept.
// Throws std::bad_alloc only.
std::variant<DistanceMatrix, TopPairs, MatrixFailure> play_matrix(std::span<const FrameColumns* const> plays,
                                                                  const MatrixOptions& options, WorkerPool& pool,
                                                                  const MatrixWatch& watch);

}  // namespace kz
