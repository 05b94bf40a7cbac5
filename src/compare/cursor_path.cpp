// Cursor paths: the frames that count, and the slopes between them.
#include "compare/cursor_path.hpp"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string_view>

#include "compare/distance_sum.hpp"

namespace kz {

namespace {

#define KZ_PATH_AVX2 __attribute__((target("avx2")))

bool wide_kernel() noexcept;

// Division is the costly part of a path. The slopes are computed four at a
// time with AVX2 where the kernel chosen has it (the divider of current
// processors takes a 256-bit division in about the time of two 128-bit ones:
// measured 6.7 against 14 us a play of 10,800 frames), two at a time with
// SSE2 otherwise; a quotient is the same at every width.
std::size_t sse2_slopes(const CursorPath& path, double* slope_x, double* slope_y, std::size_t segments) noexcept {
    const double* time = path.time.data();
    const double* x = path.x.data();
    const double* y = path.y.data();
    std::size_t k = 0;
    for (; k + 2 <= segments; k += 2) {
        const __m128d span = _mm_sub_pd(_mm_loadu_pd(time + k + 1), _mm_loadu_pd(time + k));
        _mm_storeu_pd(slope_x + k, _mm_div_pd(_mm_sub_pd(_mm_loadu_pd(x + k + 1), _mm_loadu_pd(x + k)), span));
        _mm_storeu_pd(slope_y + k, _mm_div_pd(_mm_sub_pd(_mm_loadu_pd(y + k + 1), _mm_loadu_pd(y + k)), span));
    }
    return k;
}

KZ_PATH_AVX2 std::size_t avx2_slopes(const CursorPath& path, double* slope_x, double* slope_y,
                                     std::size_t segments) noexcept {
    const double* time = path.time.data();
    const double* x = path.x.data();
    const double* y = path.y.data();
    std::size_t k = 0;
    for (; k + 4 <= segments; k += 4) {
        const __m256d span = _mm256_sub_pd(_mm256_loadu_pd(time + k + 1), _mm256_loadu_pd(time + k));
        _mm256_storeu_pd(slope_x + k,
                         _mm256_div_pd(_mm256_sub_pd(_mm256_loadu_pd(x + k + 1), _mm256_loadu_pd(x + k)), span));
        _mm256_storeu_pd(slope_y + k,
                         _mm256_div_pd(_mm256_sub_pd(_mm256_loadu_pd(y + k + 1), _mm256_loadu_pd(y + k)), span));
    }
    return k;
}

void add_slopes(CursorPath& path) {
    const std::size_t segments = path.size() > 0 ? path.size() - 1 : 0;
    path.slope_x.resize(segments);
    path.slope_y.resize(segments);
    std::size_t k = wide_kernel() ? avx2_slopes(path, path.slope_x.data(), path.slope_y.data(), segments)
                                  : sse2_slopes(path, path.slope_x.data(), path.slope_y.data(), segments);
    for (; k < segments; ++k) {
        const double span = path.time[k + 1] - path.time[k];
        path.slope_x[k] = (path.x[k + 1] - path.x[k]) / span;
        path.slope_y[k] = (path.y[k + 1] - path.y[k]) / span;
    }
}

// Where the path is made with AVX2: the kernel chosen has it.
bool wide_kernel() noexcept {
    const DistanceKernel kernel = best_distance_kernel();
    return kernel == DistanceKernel::Avx2 || kernel == DistanceKernel::Avx512;
}

// The frames' common case four at a time, for as long as it lasts from
// `index` (a multiple of 4 frames before `count`): the four clock deltas
// above 0 and the clock within [0, 2^52) (times rise, and convert exactly),
// the first time above the last kept, every position finite. Such frames
// are all kept as they come. Returns the index of the first frame not taken.
KZ_PATH_AVX2 std::size_t avx2_kept_as_they_come(const std::int64_t* time_delta, const double* x, const double* y,
                                                std::size_t index, std::size_t count, std::uint64_t& clock,
                                                double& last, std::size_t& kept, double* time_out, double* x_out,
                                                double* y_out) noexcept {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i exponent = _mm256_set1_epi64x(0x4330000000000000);  // 2^52, whose last bits take the clock
    const __m256d two_52 = _mm256_set1_pd(0x1p52);
    for (; index + 4 <= count; index += 4) {
        const __m256i delta = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(time_delta + index));
        const __m256d px = _mm256_loadu_pd(x + index);
        const __m256d py = _mm256_loadu_pd(y + index);
        // Running sums of the four deltas: add the deltas shifted one lane up, then two.
        __m256i sums = _mm256_add_epi64(
            delta, _mm256_blend_epi32(_mm256_permute4x64_epi64(delta, _MM_SHUFFLE(2, 1, 0, 0)), zero, 0x03));
        sums = _mm256_add_epi64(
            sums, _mm256_blend_epi32(_mm256_permute4x64_epi64(sums, _MM_SHUFFLE(1, 0, 0, 0)), zero, 0x0F));
        const std::uint64_t end_clock = clock + static_cast<std::uint64_t>(_mm256_extract_epi64(sums, 3));
        const __m256i clocks = _mm256_add_epi64(sums, _mm256_set1_epi64x(static_cast<std::int64_t>(clock)));
        const __m256d times = _mm256_sub_pd(_mm256_castsi256_pd(_mm256_or_si256(clocks, exponent)), two_52);
        // x - x is 0 for a finite x, NaN otherwise.
        const __m256d finite =
            _mm256_cmp_pd(_mm256_add_pd(_mm256_sub_pd(px, px), _mm256_sub_pd(py, py)), _mm256_setzero_pd(), _CMP_EQ_OQ);
        const __m256d rising = _mm256_castsi256_pd(_mm256_cmpgt_epi64(delta, zero));
        const bool taken = _mm256_movemask_pd(_mm256_and_pd(finite, rising)) == 0xF &&
                           static_cast<std::int64_t>(clock) >= 0 && end_clock < (std::uint64_t{1} << 52) &&
                           _mm256_cvtsd_f64(times) > last;
        if (!taken) break;
        _mm256_storeu_pd(time_out + kept, times);
        _mm256_storeu_pd(x_out + kept, px);
        _mm256_storeu_pd(y_out + kept, py);
        kept += 4;
        clock = end_clock;
        last = static_cast<double>(static_cast<std::int64_t>(end_clock));
    }
    return index;
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
    const bool wide = wide_kernel();
    for (std::size_t index = 0; index < count; ++index) {
        if (index % kFramesBetweenStops == 0 && stop != nullptr && stop->load(std::memory_order_relaxed)) {
            break;
        }
        // Runs of frames in the common case, up to the next look at `stop`.
        if (wide && index % 4 == 0) {
            const std::size_t run_end = std::min(count, (index / kFramesBetweenStops + 1) * kFramesBetweenStops);
            index = avx2_kept_as_they_come(time_delta.data(), x.data(), y.data(), index, run_end, clock, last, kept,
                                           time_out, x_out, y_out);
            if (index == count) break;
            if (index == run_end) {
                --index;  // the next step looks at `stop` first
                continue;
            }
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
