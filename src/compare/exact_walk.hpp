// The inner loop of the exact form: one play's positions against the other
// play interpolated at their times, summed as distances.
#pragma once

#include <cstddef>
#include <optional>

#include "compare/cursor_path.hpp"
#include "compare/distance_sum.hpp"

namespace kz {

// The sum over a's points [first, end), whose times must lie within
// [b.time.front(), b.time.back()), of the distance from a's position to b's
// there: slope * (t - t_k) + p_k on b's segment k holding t, the arithmetic
// array libraries use (with the AVX2 and AVX-512 kernels, one fused
// multiply-add). `b` must have its slopes. Distances are taken as
// distance_sum takes them, squares out of range included.
// The kernel is the one of distance_sum; the AVX2 and AVX-512 ones also find
// the segments a vector of points at a time, starting from `hint` (b's
// segment of a's point i is guessed at i + hint; kNoHint or any other value
// is safe) and leaving there the guess for the points after `end`. The hint
// changes the speed only: the sum depends on the points, `first` and the
// kernel alone.
inline constexpr std::size_t kNoHint = std::size_t{1} << 62;
double interpolated_distance_sum(const CursorPath& a, std::size_t first, std::size_t end, const CursorPath& b,
                                 std::optional<double> mirror_y, DistanceKernel kernel, std::size_t& hint) noexcept;

}  // namespace kz
