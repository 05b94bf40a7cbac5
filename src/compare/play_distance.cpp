// Play distances: the range of one play's points that the other covers,
// summed by the interpolating kernel, and plays resampled onto a grid.
#include "compare/play_distance.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace kz {

ExactPairSum::ExactPairSum(const CursorPath& a, const CursorPath& b) noexcept : a_(&a), b_(&b), hint_(kNoHint) {
    if (a.empty() || b.empty()) return;
    const double b_first = b.time.front();
    const double b_last = b.time.back();
    // a's points within [b_first, b_last]; the one at b_last, if any, takes
    // b's last position as it stands, since no segment follows it.
    const auto begin = std::lower_bound(a.time.begin(), a.time.end(), b_first);
    const auto end = std::lower_bound(begin, a.time.end(), b_last);
    first_ = static_cast<std::size_t>(begin - a.time.begin());
    inner_end_ = static_cast<std::size_t>(end - a.time.begin());
    meets_last_ = inner_end_ < a.size() && a.time[inner_end_] == b_last;
}

void ExactPairSum::add_chunk(std::int64_t chunk, std::optional<double> mirror_y, DistanceKernel kernel) noexcept {
    const auto chunk_start = static_cast<std::size_t>(chunk) * kChunkPoints;
    const std::size_t start = std::max(first_, chunk_start);
    const std::size_t end = std::min(inner_end_, chunk_start + kChunkPoints);
    if (start >= end) return;
    sum_.sum += interpolated_distance_sum(*a_, start, end, *b_, mirror_y, kernel, hint_);
    sum_.count += end - start;
}

DistanceTotal ExactPairSum::total(std::optional<double> mirror_y) const noexcept {
    DistanceTotal total = sum_;
    if (meets_last_) {
        const CursorPath& a = *a_;
        const CursorPath& b = *b_;
        total.sum += distance_sum({&a.x[inner_end_], &a.y[inner_end_], &b.x.back(), &b.y.back(), 1}, mirror_y,
                                  DistanceKernel::Scalar);
        total.count += 1;
    }
    return total;
}

DistanceTotal exact_distance(const CursorPath& a, const CursorPath& b, std::optional<double> mirror_y,
                             DistanceKernel kernel, const std::atomic<bool>* stop) noexcept {
    ExactPairSum pair(a, b);
    for (std::int64_t chunk = pair.first_chunk(); chunk < pair.end_chunk(); ++chunk) {
        // A chunk is under a microsecond of work: a stop is seen at once.
        if (stop != nullptr && stop->load(std::memory_order_relaxed)) return {};
        pair.add_chunk(chunk, mirror_y, kernel);
    }
    return pair.total(mirror_y);
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
    if (inner > 0) path.interpolate(times.data(), inner, 0, grid.x.data(), grid.y.data());
    if (inner < count) {
        grid.x[inner] = path.x.back();
        grid.y[inner] = path.y.back();
    }
    return grid;
}

GridPairSum::GridPairSum(const GridPath& a, const GridPath& b) noexcept : a_(&a), b_(&b) {
    if (a.size() == 0 || b.size() == 0) return;
    first_ = std::max(a.first, b.first);
    end_ = std::max(
        first_, std::min(a.first + static_cast<std::int64_t>(a.size()), b.first + static_cast<std::int64_t>(b.size())));
}

void GridPairSum::add_chunk(std::int64_t chunk, std::optional<double> mirror_y, DistanceKernel kernel) noexcept {
    const std::int64_t chunk_start = chunk * static_cast<std::int64_t>(kChunkPoints);
    const std::int64_t start = std::max(first_, chunk_start);
    const std::int64_t end = std::min(end_, chunk_start + static_cast<std::int64_t>(kChunkPoints));
    if (start >= end) return;
    const GridPath& a = *a_;
    const GridPath& b = *b_;
    const auto a_at = static_cast<std::size_t>(start - a.first);
    const auto b_at = static_cast<std::size_t>(start - b.first);
    const auto count = static_cast<std::size_t>(end - start);
    sum_.sum += distance_sum({a.x.data() + a_at, a.y.data() + a_at, b.x.data() + b_at, b.y.data() + b_at, count},
                             mirror_y, kernel);
    sum_.count += count;
}

DistanceTotal grid_distance(const GridPath& a, const GridPath& b, std::optional<double> mirror_y,
                            DistanceKernel kernel) noexcept {
    GridPairSum pair(a, b);
    for (std::int64_t chunk = pair.first_chunk(); chunk < pair.end_chunk(); ++chunk) {
        pair.add_chunk(chunk, mirror_y, kernel);
    }
    return pair.total(mirror_y);
}

}  // namespace kz
