// Cursor paths: the frames that count, and the slopes between them.
#include "compare/cursor_path.hpp"

#include <emmintrin.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string_view>

namespace kz {

namespace {

// Division is the costly part of a path; two at a time in SSE2 halve its
// cost against one at a time (the divider's throughput per value is the
// same at every vector width, so wider paths would not pay).
void add_slopes(CursorPath& path) {
    const std::size_t segments = path.size() > 0 ? path.size() - 1 : 0;
    path.slope_x.resize(segments);
    path.slope_y.resize(segments);
    const double* time = path.time.data();
    const double* x = path.x.data();
    const double* y = path.y.data();
    std::size_t k = 0;
    for (; k + 2 <= segments; k += 2) {
        const __m128d span = _mm_sub_pd(_mm_loadu_pd(time + k + 1), _mm_loadu_pd(time + k));
        _mm_storeu_pd(path.slope_x.data() + k,
                      _mm_div_pd(_mm_sub_pd(_mm_loadu_pd(x + k + 1), _mm_loadu_pd(x + k)), span));
        _mm_storeu_pd(path.slope_y.data() + k,
                      _mm_div_pd(_mm_sub_pd(_mm_loadu_pd(y + k + 1), _mm_loadu_pd(y + k)), span));
    }
    for (; k < segments; ++k) {
        const double span = time[k + 1] - time[k];
        path.slope_x[k] = (x[k + 1] - x[k]) / span;
        path.slope_y[k] = (y[k + 1] - y[k]) / span;
    }
}

}  // namespace

std::size_t CursorPath::interpolate(const double* times, std::size_t count, std::size_t segment, double* x_out,
                                    double* y_out) const noexcept {
    std::size_t k = segment;
    for (std::size_t index = 0; index < count; ++index) {
        const double t = times[index];
        while (time[k + 1] <= t) ++k;  // stops before the last point: t is below it
        const double offset = t - time[k];
        x_out[index] = slope_x[k] * offset + x[k];
        y_out[index] = slope_y[k] * offset + y[k];
    }
    return k;
}

std::size_t CursorPath::segment_of(double t) const noexcept {
    return static_cast<std::size_t>(std::upper_bound(time.begin(), time.end() - 1, t) - time.begin()) - 1;
}

CursorPath cursor_path(std::span<const std::int64_t> time_delta, std::span<const double> x, std::span<const double> y,
                       Slopes slopes, const std::atomic<bool>* stop) {
    const std::size_t count = std::min({time_delta.size(), x.size(), y.size()});
    CursorPath path;
    path.time.resize(count);
    path.x.resize(count);
    path.y.resize(count);
    double* const time_out = path.time.data();
    double* const x_out = path.x.data();
    double* const y_out = path.y.data();
    // The clock is summed in integers, as the deltas are stored; a sum that
    // leaves int64 wraps, as the game's own clock would, rather than trapping.
    std::uint64_t clock = 0;
    std::size_t kept = 0;
    double last = -std::numeric_limits<double>::infinity();
    constexpr std::size_t kFramesBetweenStops = std::size_t{1} << 18;  // about a millisecond
    for (std::size_t index = 0; index < count; ++index) {
        if (index % kFramesBetweenStops == 0 && stop != nullptr && stop->load(std::memory_order_relaxed)) {
            break;
        }
        clock += static_cast<std::uint64_t>(time_delta[index]);
        const double time = static_cast<double>(static_cast<std::int64_t>(clock));
        if (!std::isfinite(x[index]) || !std::isfinite(y[index]) || time < last) continue;
        kept -= time == last ? 1 : 0;  // the later of equal times takes the earlier's place
        time_out[kept] = time;
        x_out[kept] = x[index];
        y_out[kept] = y[index];
        ++kept;
        last = time;
    }
    path.time.resize(kept);
    path.x.resize(kept);
    path.y.resize(kept);
    const bool stopped = stop != nullptr && stop->load(std::memory_order_relaxed);
    if (slopes == Slopes::Yes && !stopped) add_slopes(path);  // a stopped path is discarded
    return path;
}

std::optional<CursorColumns> cursor_columns(const FrameColumns& columns) noexcept {
    const Column* fields[3] = {nullptr, nullptr, nullptr};
    constexpr std::string_view names[3] = {"time_delta", "x", "y"};
    constexpr ColumnType types[3] = {ColumnType::Int64, ColumnType::Float64, ColumnType::Float64};
    for (const Column& column : columns.columns()) {
        for (std::size_t field = 0; field < 3; ++field) {
            if (column.name == names[field] && column.type == types[field]) fields[field] = &column;
        }
    }
    if (fields[0] == nullptr || fields[1] == nullptr || fields[2] == nullptr) return std::nullopt;
    const std::size_t length = columns.length();
    return CursorColumns{
        {static_cast<const std::int64_t*>(fields[0]->values.data()), length},
        {static_cast<const double*>(fields[1]->values.data()), length},
        {static_cast<const double*>(fields[2]->values.data()), length},
    };
}

}  // namespace kz
