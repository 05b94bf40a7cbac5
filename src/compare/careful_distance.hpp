// What the distance kernels share about squares out of range: which squares
// every kernel's square root takes as they are, the distance of any other by
// hypot, and the per-chunk record of whether a run must be summed again.
#pragma once

#include <cmath>
#include <cstddef>

namespace kz {

// Squares in [kSafeSquareLow, kSafeSquareHigh] give their distance as
// sqrt(dx*dx + dy*dy) in every kernel (the float estimate of the AVX2 kernel
// included). A square outside it overflowed, or lost bits below the normal
// numbers (as far as 0: dx = 1e-170 squares to 0), and its distance is
// taken by hypot, which scales before squaring.
inline constexpr double kSafeSquareLow = 0x1p-126;
inline constexpr double kSafeSquareHigh = 0x1p126;

// The distance of (dx, dy), exact to rounding whatever the magnitudes.
inline double careful_distance(double dx, double dy) noexcept {
    const double d = dx * dx + dy * dy;
    if (d >= kSafeSquareLow && d <= kSafeSquareHigh) [[likely]]
        return std::sqrt(d);
    return dx == 0 && dy == 0 ? 0.0 : std::hypot(dx, dy);
}

// The distances of the lanes of `need` (bit l for lane l) taken again by
// careful_distance, summed.
template <std::size_t kLanes>
double careful_lanes(const double* dx, const double* dy, unsigned need) noexcept {
    double sum = 0.0;
    for (std::size_t lane = 0; lane < kLanes; ++lane) {
        if ((need >> lane) & 1u) sum += careful_distance(dx[lane], dy[lane]);
    }
    return sum;
}

// How a vector kernel sums a run: fast, trusting every square and noting
// whether one may be out of range, or careful, checking each vector and
// taking the lanes out of range by hypot. A run the fast pass doubts is
// summed again carefully; the careful pass adds every lane in range as the
// fast one does, so a kernel's sum of a run does not depend on its
// neighbours. Exact zeros (equal positions, as in copied plays) are doubted
// too, since a square can underflow to 0; the careful pass then finds them
// exact, at about twice the cost of that run.
enum class Pass { Fast, Careful };

}  // namespace kz
