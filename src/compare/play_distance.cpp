// Play distances: interpolation by a merge of the two sorted clocks, then the
// vectorised distance sum over blocks of interpolated positions.
#include "compare/play_distance.hpp"

#include <algorithm>
#include <array>
#include <cmath>

namespace kz {
namespace {

// Positions of `path` at `times` (sorted, strictly within the path's first
// and last time, or equal to the first), written to `x` and `y`; `segment` is
// the index of the path's point at or before times[0] and is left at the one
// before the last time. The arithmetic is slope * (t - t_k) + p_k, the form
// array libraries use, so results agree with theirs to the bit.
void interpolate(const CursorPath& path, const double* times, std::size_t count, std::size_t& segment, double* x,
                 double* y) noexcept {
    const double* path_time = path.time.data();
    std::size_t k = segment;
    for (std::size_t index = 0; index < count; ++index) {
        const double time = times[index];
        while (path_time[k + 1] <= time) ++k;  // stops before the last point: time is below it
        const double offset = time - path_time[k];
        x[index] = path.slope_x[k] * offset + path.x[k];
        y[index] = path.slope_y[k] * offset + path.y[k];
    }
    segment = k;
}

// Points of the exact form are interpolated in blocks this long, so the
// distances run through the vectorised sum from memory that stays in cache.
constexpr std::size_t kBlock = 512;

}  // namespace

DistanceTotal exact_distance(const CursorPath& a, const CursorPath& b, std::optional<double> mirror_y,
                             DistanceKernel kernel) noexcept {
    if (a.empty() || b.empty()) return {};
    const double b_first = b.time.front();
    const double b_last = b.time.back();
    // a's points within [b_first, b_last]; the one at b_last, if any, takes
    // b's last position as it stands, since no segment follows it.
    const auto begin = std::lower_bound(a.time.begin(), a.time.end(), b_first);
    const auto end = std::lower_bound(begin, a.time.end(), b_last);
    const auto first = static_cast<std::size_t>(begin - a.time.begin());
    const auto inner_end = static_cast<std::size_t>(end - a.time.begin());
    const bool meets_last = inner_end < a.size() && a.time[inner_end] == b_last;

    DistanceTotal total;
    if (first < inner_end) {
        std::size_t segment = static_cast<std::size_t>(std::upper_bound(b.time.begin(), b.time.end(), a.time[first]) -
                                                       b.time.begin() - 1);
        std::array<double, kBlock> b_x;
        std::array<double, kBlock> b_y;
        for (std::size_t start = first; start < inner_end; start += kBlock) {
            const std::size_t count = std::min(kBlock, inner_end - start);
            interpolate(b, a.time.data() + start, count, segment, b_x.data(), b_y.data());
            total.sum +=
                distance_sum({a.x.data() + start, a.y.data() + start, b_x.data(), b_y.data(), count}, mirror_y, kernel);
        }
        total.count += inner_end - first;
    }
    if (meets_last) {
        total.sum += distance_sum({&a.x[inner_end], &a.y[inner_end], &b.x.back(), &b.y.back(), 1}, mirror_y,
                                  DistanceKernel::Scalar);
        total.count += 1;
    }
    return total;
}

std::variant<GridPath, GridFailure> grid_path(const CursorPath& path, double step_ms) {
    GridPath grid;
    if (path.empty()) return grid;
    const double first_time = path.time.front();
    const double last_time = path.time.back();
    // The integer k of the first and last grid time within the path, nudged
    // past the rounding of the divisions. Beyond 2^52 steps the k are no
    // longer exact integers of a double, and grids of different plays would not line up.
    double first = std::ceil(first_time / step_ms);
    double last = std::floor(last_time / step_ms);
    if (!(std::fabs(first) <= 0x1p52 && std::fabs(last) <= 0x1p52)) return GridFailure::TooFine;
    while (first * step_ms < first_time) first += 1;
    while ((first - 1) * step_ms >= first_time) first -= 1;
    while (last * step_ms > last_time) last -= 1;
    while ((last + 1) * step_ms <= last_time) last += 1;
    grid.first = static_cast<std::int64_t>(first);
    if (last < first) return grid;  // no grid time falls within the path
    if (last - first >= static_cast<double>(kMaxGridPoints)) return GridFailure::TooFine;
    const auto count = static_cast<std::size_t>(last - first) + 1;
    grid.x.resize(count);
    grid.y.resize(count);
    Vec<double> times(count);
    for (std::size_t index = 0; index < count; ++index) times[index] = (first + static_cast<double>(index)) * step_ms;
    // The grid time at the path's last time, if one falls exactly there,
    // takes the last position as it stands (no segment follows it).
    const std::size_t inner = times[count - 1] == last_time ? count - 1 : count;
    // Grid times below the last time exist only when the path has two points or more.
    std::size_t segment = 0;
    if (inner > 0) interpolate(path, times.data(), inner, segment, grid.x.data(), grid.y.data());
    if (inner < count) {
        grid.x[inner] = path.x.back();
        grid.y[inner] = path.y.back();
    }
    return grid;
}

DistanceTotal grid_distance(const GridPath& a, const GridPath& b, std::optional<double> mirror_y,
                            DistanceKernel kernel) noexcept {
    if (a.size() == 0 || b.size() == 0) return {};
    const std::int64_t first = std::max(a.first, b.first);
    const std::int64_t end =
        std::min(a.first + static_cast<std::int64_t>(a.size()), b.first + static_cast<std::int64_t>(b.size()));
    if (first >= end) return {};
    const auto a_at = static_cast<std::size_t>(first - a.first);
    const auto b_at = static_cast<std::size_t>(first - b.first);
    const auto count = static_cast<std::size_t>(end - first);
    return {distance_sum({a.x.data() + a_at, a.y.data() + a_at, b.x.data() + b_at, b.y.data() + b_at, count}, mirror_y,
                         kernel),
            count};
}

}  // namespace kz
