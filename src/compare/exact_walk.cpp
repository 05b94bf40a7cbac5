// Interpolated distance sums. The plain and SSE2 kernels interpolate a block
// of points by walking b's segments, then sum the block's distances. The
// AVX-512 kernel does both eight points at a time: two plays recorded at the
// same rate keep b's segment of a's point i at i plus a nearly constant
// shift, so the values of a block are a few contiguous loads.
#include "compare/exact_walk.hpp"

#include "compare/avx512_root.hpp"

#include <algorithm>
#include <array>
#include <cmath>

namespace kz {
namespace {

// The walk of CursorPath::interpolate for the AVX-512 kernel, with the multiply and add fused as
// its vector path fuses them: a point's value then does not depend on how
// its segment was found.
__attribute__((target("avx512f,fma"))) std::size_t interpolate_fused(const CursorPath& path, const double* times,
                                                                     std::size_t count, std::size_t segment, double* x,
                                                                     double* y) noexcept {
    const double* path_time = path.time.data();
    std::size_t k = segment;
    for (std::size_t index = 0; index < count; ++index) {
        const double time = times[index];
        while (path_time[k + 1] <= time) ++k;
        const double offset = time - path_time[k];
        x[index] = std::fma(path.slope_x[k], offset, path.x[k]);
        y[index] = std::fma(path.slope_y[k], offset, path.y[k]);
    }
    return k;
}

// Points interpolated per block, so the distances run through the
// vectorised sum from memory that stays in cache.
constexpr std::size_t kBlock = 512;

double walked_sum(const CursorPath& a, std::size_t first, std::size_t end, const CursorPath& b,
                  std::optional<double> mirror_y, DistanceKernel kernel) noexcept {
    std::array<double, kBlock> b_x;
    std::array<double, kBlock> b_y;
    double sum = 0.0;
    for (std::size_t start = first; start < end; start += kBlock) {
        const std::size_t count = std::min(kBlock, end - start);
        b.interpolate(a.time.data() + start, count, b.segment_of(a.time[start]), b_x.data(), b_y.data());
        sum += distance_sum({a.x.data() + start, a.y.data() + start, b_x.data(), b_y.data(), count}, mirror_y, kernel);
    }
    return sum;
}

// b's positions at the times of one block of a's points (fewer than eight at
// the end: lanes left out get a's own position, so distance 0), by the walk
// from `segment`, which is left at the segment of the block's last point.
template <bool kMirror>
__attribute__((target("avx512f"))) inline __m512d avx512_walked_block(const CursorPath& a, std::size_t at,
                                                                      std::size_t count, const CursorPath& b,
                                                                      std::size_t& segment, __m512d height,
                                                                      __m512d sum) noexcept {
    alignas(64) std::array<double, 8> b_x{};
    alignas(64) std::array<double, 8> b_y{};
    segment = interpolate_fused(b, a.time.data() + at, count, segment, b_x.data(), b_y.data());
    const auto lanes = static_cast<__mmask8>((1u << count) - 1u);
    const __m512d a_x = _mm512_maskz_loadu_pd(lanes, a.x.data() + at);
    const __m512d a_y = _mm512_maskz_loadu_pd(lanes, a.y.data() + at);
    __m512d y = _mm512_load_pd(b_y.data());
    if constexpr (kMirror) y = _mm512_mask_sub_pd(a_y, lanes, height, y);
    const __m512d x = _mm512_mask_blend_pd(lanes, a_x, _mm512_load_pd(b_x.data()));
    if constexpr (!kMirror) y = _mm512_mask_blend_pd(lanes, a_y, y);
    return avx512_add_distance(_mm512_sub_pd(a_x, x), _mm512_sub_pd(a_y, y), sum);
}

// values[pick[l]] in lane l, for picks below 16.
__attribute__((target("avx512f"))) inline __m512d picked(const double* values, __m512i pick) noexcept {
    return _mm512_permutex2var_pd(_mm512_loadu_pd(values), pick, _mm512_loadu_pd(values + 8));
}

// path.segment_of(t), found by a few steps from `guess` when it is close
// (where the followed shift points: gaps in a clock move it by a step or
// two), by binary search otherwise.
std::size_t segment_near(const CursorPath& path, double t, std::size_t guess) noexcept {
    constexpr std::size_t kSteps = 8;
    const double* time = path.time.data();
    const std::size_t last_segment = path.size() - 2;  // the path has two points or more: t lies before its last
    if (guess >= kSteps && guess <= last_segment && last_segment - guess >= kSteps) {
        std::size_t k = guess;
        for (std::size_t step = 0; step < kSteps; ++step) {
            if (time[k] > t) {
                --k;
            } else if (time[k + 1] <= t) {
                ++k;
            } else {
                return k;
            }
        }
    }
    return path.segment_of(t);
}

// b's arrays, held apart from the path so that the compiler keeps them in registers.
struct Segments {
    const double* time;
    const double* x;
    const double* y;
    const double* slope_x;
    const double* slope_y;
};

// sum + the distances from a's positions to b's at times t, given b's
// segment start time, positions and slopes in each lane.
template <bool kMirror>
__attribute__((target("avx512f"))) inline __m512d avx512_add_interpolated(__m512d t, __m512d start, __m512d x,
                                                                          __m512d y, __m512d slope_x, __m512d slope_y,
                                                                          __m512d a_x, __m512d a_y, __m512d height,
                                                                          __m512d sum) noexcept {
    const __m512d offset = _mm512_sub_pd(t, start);
    const __m512d b_x = _mm512_fmadd_pd(slope_x, offset, x);
    __m512d b_y = _mm512_fmadd_pd(slope_y, offset, y);
    if constexpr (kMirror) b_y = _mm512_sub_pd(height, b_y);
    return avx512_add_distance(_mm512_sub_pd(a_x, b_x), _mm512_sub_pd(a_y, b_y), sum);
}

// Blocks of eight of a's points. The loop follows `shift`, b's segment of
// a's point i being i + shift. While that holds for a whole block (two
// comparisons tell), every value is a contiguous load. When it is off by
// one either way for some points (clocks jittering against each other),
// each lane's segment, i + shift - 1, i + shift or i + shift + 1, is picked
// from the 16 values starting at the first, and the shift moves with the
// block's last point. Blocks that stray further (gaps, plays at other
// rates) take the walk from the segment found by binary search, and the
// shift is taken again from where the walk ends.
template <bool kMirror>
__attribute__((target("avx512f"))) double avx512_sum(const CursorPath& a, std::size_t first, std::size_t end,
                                                     const CursorPath& b, double mirror, std::size_t& shift) noexcept {
    const double* a_time = a.time.data();
    const double* a_x = a.x.data();
    const double* a_y = a.y.data();
    const Segments s{b.time.data(), b.x.data(), b.y.data(), b.slope_x.data(), b.slope_y.data()};
    const std::size_t b_points = b.size();
    const __m512d height = _mm512_set1_pd(mirror);
    const __m512i lane = _mm512_set_epi64(7, 6, 5, 4, 3, 2, 1, 0);
    const __m512i one = _mm512_set1_epi64(1);
    __m512d sum = _mm512_setzero_pd();
    std::size_t i = first;
    for (; i + 8 <= end; i += 8) {
        const __m512d t = _mm512_loadu_pd(a_time + i);
        const __m512d x = _mm512_loadu_pd(a_x + i);
        const __m512d y = _mm512_loadu_pd(a_y + i);
        const std::size_t followed = i + shift;
        // The 16 values from followed - 1 exist (the slopes are one fewer
        // than the points); any hint passes this test safely.
        if (followed - 1 < b_points && b_points - (followed - 1) >= 17) [[likely]] {
            const __m512d start = _mm512_loadu_pd(s.time + followed);
            const __mmask8 past_own = _mm512_cmp_pd_mask(start, t, _CMP_LE_OQ);
            const __mmask8 past_next = _mm512_cmp_pd_mask(_mm512_loadu_pd(s.time + followed + 1), t, _CMP_LE_OQ);
            if (past_own == 0xFF && past_next == 0) [[likely]] {
                sum = avx512_add_interpolated<kMirror>(
                    t, start, _mm512_loadu_pd(s.x + followed), _mm512_loadu_pd(s.y + followed),
                    _mm512_loadu_pd(s.slope_x + followed), _mm512_loadu_pd(s.slope_y + followed), x, y, height, sum);
                continue;
            }
            const __mmask8 within = _mm512_cmp_pd_mask(_mm512_loadu_pd(s.time + followed - 1), t, _CMP_LE_OQ) &
                                    _mm512_cmp_pd_mask(t, _mm512_loadu_pd(s.time + followed + 2), _CMP_LT_OQ);
            if (within == 0xFF) {
                // Index into the 16 values from followed - 1: lane + (0, 1 or 2).
                __m512i pick = _mm512_mask_add_epi64(lane, past_own, lane, one);
                pick = _mm512_mask_add_epi64(pick, past_next, pick, one);
                const std::size_t from = followed - 1;
                sum = avx512_add_interpolated<kMirror>(t, picked(s.time + from, pick), picked(s.x + from, pick),
                                                       picked(s.y + from, pick), picked(s.slope_x + from, pick),
                                                       picked(s.slope_y + from, pick), x, y, height, sum);
                shift += static_cast<std::size_t>((past_own >> 7) + (past_next >> 7)) - 1;
                continue;
            }
        }
        std::size_t k = segment_near(b, a_time[i], i + shift);
        sum = avx512_walked_block<kMirror>(a, i, 8, b, k, height, sum);
        shift = k - (i + 7);
    }
    if (i < end) {
        std::size_t k = segment_near(b, a_time[i], i + shift);
        sum = avx512_walked_block<kMirror>(a, i, end - i, b, k, height, sum);
    }
    return _mm512_reduce_add_pd(sum);
}

}  // namespace

double interpolated_distance_sum(const CursorPath& a, std::size_t first, std::size_t end, const CursorPath& b,
                                 std::optional<double> mirror_y, DistanceKernel kernel, std::size_t& hint) noexcept {
    if (first >= end) return 0.0;
    if (kernel != DistanceKernel::Avx512) return walked_sum(a, first, end, b, mirror_y, kernel);
    const double sum =
        mirror_y ? avx512_sum<true>(a, first, end, b, *mirror_y, hint) : avx512_sum<false>(a, first, end, b, 0.0, hint);
    // A square that overflowed: measured again with hypot where needed.
    if (!std::isfinite(sum)) [[unlikely]]
        return walked_sum(a, first, end, b, mirror_y, DistanceKernel::Scalar);
    return sum;
}

}  // namespace kz
