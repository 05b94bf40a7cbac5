// The inner loop of every comparison: the sum of Euclidean distances between
// two runs of cursor positions, vectorised, and the choice of the kernel
// (the x86-64 level) every comparison runs on.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

namespace kz {

// Two runs of positions of equal length, point k of one against point k of the other.
struct PositionRuns {
    const double* a_x;
    const double* a_y;
    const double* b_x;
    const double* b_y;
    std::size_t count;
};

// The ways the sum is computed, from the plainest up. Sse2 is there on every
// x86-64 processor; Avx2 needs AVX2 and FMA, Avx512 AVX-512F. The vector
// kernels take some square roots from the processor's estimate of 1/sqrt
// and a short series (to the last bit or two), and the rest from its
// square-root unit, which then works beside the multiply-add ports.
enum class DistanceKernel { Scalar, Sse2, Avx2, Avx512 };

// The kernel every comparison runs on, chosen once: the one named by the
// environment variable KADENZO_KERNEL (scalar, sse2, avx2 or avx512) when
// this processor runs it, or else the fastest this processor runs.
DistanceKernel best_distance_kernel() noexcept;

// Every kernel this processor runs, plainest first (tests and benchmarks compare them).
std::span<const DistanceKernel> available_distance_kernels() noexcept;

// The kernel's name as KADENZO_KERNEL takes it.
std::string_view distance_kernel_name(DistanceKernel kernel) noexcept;

// Why KADENZO_KERNEL was not followed: it names no kernel, or one this
// processor does not run. `requested` is the variable's value (it lives as
// long as the process).
struct KernelRefusal {
    std::string_view requested;
    bool known;  // a kernel's name, which this processor does not run
};

// The refusal of KADENZO_KERNEL, if it was refused (read once, with
// best_distance_kernel); comparisons refuse to run while there is one.
std::optional<KernelRefusal> distance_kernel_refusal() noexcept;

// The sum over k of sqrt(dx*dx + dy*dy), with dx = a_x[k] - b_x[k] and
// dy = a_y[k] - b_y[k], or with `mirror_y` dy = a_y[k] - (mirror_y - b_y[k])
// (b mirrored top to bottom). Positions must be finite. Each distance is
// within an ulp or two of hypot(dx, dy) whatever the kernel, also where a
// square would overflow or fall below the normal numbers (such a run is
// summed again, those distances by hypot). The order of the additions and
// the last bit of a root differ between kernels: their sums agree to about
// 1e-15 relative, and a kernel gives the same sum for the same run, to the bit.
double distance_sum(const PositionRuns& runs, std::optional<double> mirror_y = std::nullopt,
                    DistanceKernel kernel = best_distance_kernel()) noexcept;

}  // namespace kz
