// The inner loop of every comparison: the sum of Euclidean distances between
// two runs of cursor positions, vectorised.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

namespace kz {

// Two runs of positions of equal length, point k of one against point k of the other.
struct PositionRuns {
    const double* a_x;
    const double* a_y;
    const double* b_x;
    const double* b_y;
    std::size_t count;
};

// The ways the sum is computed. Sse2 is there on every x86-64 processor;
// Avx512 takes most square roots from a 14-bit estimate and a short series
// (to the last bit or two), several times the throughput of the processor's
// square-root unit, which bounds the other two, and keeps that unit busy
// with the rest.
enum class DistanceKernel { Scalar, Sse2, Avx512 };

// The fastest kernel this processor runs, chosen once.
DistanceKernel best_distance_kernel() noexcept;

// Every kernel this processor runs (tests and benchmarks compare them).
std::span<const DistanceKernel> available_distance_kernels() noexcept;

// The sum over k of sqrt(dx*dx + dy*dy), with dx = a_x[k] - b_x[k] and
// dy = a_y[k] - b_y[k], or with `mirror_y` dy = a_y[k] - (mirror_y - b_y[k])
// (b mirrored top to bottom). Positions must be finite. Each distance is
// within an ulp or two of hypot(dx, dy) whatever the kernel (hypot itself
// where a square would overflow or underflow), but the order of the
// additions differs between kernels, so their last bits may too.
double distance_sum(const PositionRuns& runs, std::optional<double> mirror_y = std::nullopt,
                    DistanceKernel kernel = best_distance_kernel()) noexcept;

}  // namespace kz
