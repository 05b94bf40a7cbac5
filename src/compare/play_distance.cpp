// Play distances: the range of one play's points that the other covers,
// summed by the interpolating kernel, and plays resampled onto a grid.
#include "compare/play_distance.hpp"

#include "compare/exact_walk.hpp"

#include <algorithm>
#include <cmath>

namespace kz {
namespace {

// Positions of `path` at `count` sorted times strictly within its first and
// last time (or equal to the first), by a walk over its segments.
void interpolate(const CursorPath& path, const double* times, std::size_t count, double* x, double* y) noexcept {
    const double* path_time = path.time.data();
    std::size_t k = 0;
    for (std::size_t index = 0; index < count; ++index) {
        const double time = times[index];
        while (path_time[k + 1] <= time) ++k;  // stops before the last point: time is below it
        const double offset = time - path_time[k];
        x[index] = path.slope_x[k] * offset + path.x[k];
        y[index] = path.slope_y[k] * offset + path.y[k];
    }
}

// The exact form looks at the stop flag after each run of this many of a's
// points: about 30 µs of work, so a stop is seen within a fraction of a millisecond.
constexpr std::size_t kPointsBetweenStops = std::size_t{1} << 16;

}  // namespace

DistanceTotal exact_distance(const CursorPath& a, const CursorPath& b, std::optional<double> mirror_y,
                             DistanceKernel kernel, const std::atomic<bool>* stop) noexcept {
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
    for (std::size_t start = first; start < inner_end; start += kPointsBetweenStops) {
        if (stop != nullptr && stop->load(std::memory_order_relaxed)) return total;
        const std::size_t end_of_run = std::min(inner_end, start + kPointsBetweenStops);
        total.sum += interpolated_distance_sum(a, start, end_of_run, b, mirror_y, kernel);
        total.count += end_of_run - start;
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
    if (inner > 0) interpolate(path, times.data(), inner, grid.x.data(), grid.y.data());
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
