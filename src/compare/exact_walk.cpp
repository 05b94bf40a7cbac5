// Interpolated distance sums. The plain and SSE2 kernels interpolate a block
// of points by walking b's segments, then sum the block's distances. The
// AVX2 and AVX-512 kernels do both a vector of points at a time (four or
// eight): two plays recorded at the same rate keep b's segment of a's point
// i at i plus a nearly constant shift, so the values of a block are a few
// contiguous loads.
#include "compare/exact_walk.hpp"

#include "compare/avx2_root.hpp"
#include "compare/avx512_root.hpp"
#include "compare/careful_distance.hpp"

#include <algorithm>
#include <array>
#include <cmath>

namespace kz {
namespace {

// The walk of CursorPath::interpolate for the vector kernels, with the
// multiply and add fused as their vector paths fuse them: a point's value
// then does not depend on how its segment was found.
__attribute__((target("fma"))) std::size_t interpolate_fused(const CursorPath& path, const double* times,
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

// The distances of a's `count` points from `at` to b's walked values, one by one.
template <bool kMirror>
double walked_tail(const CursorPath& a, std::size_t at, std::size_t count, const double* b_x, const double* b_y,
                   double mirror) noexcept {
    double sum = 0.0;
    for (std::size_t index = 0; index < count; ++index) {
        const double y = kMirror ? mirror - b_y[index] : b_y[index];
        sum += careful_distance(a.x[at + index] - b_x[index], a.y[at + index] - y);
    }
    return sum;
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

// --- AVX-512: eight points a block ------------------------------------------------

// The distances at one block of a's points whose values were walked to by
// interpolate_fused: a full vector, or fewer points at the end one by one.
template <bool kMirror, Pass kPass>
__attribute__((target("avx512f"))) inline void avx512_walked_block(const CursorPath& a, std::size_t at,
                                                                   std::size_t count, const CursorPath& b,
                                                                   std::size_t& segment, double mirror,
                                                                   Avx512Sums& sums) noexcept {
    alignas(64) std::array<double, 8> b_x{};
    alignas(64) std::array<double, 8> b_y{};
    segment = interpolate_fused(b, a.time.data() + at, count, segment, b_x.data(), b_y.data());
    if (count < 8) {
        sums.careful += walked_tail<kMirror>(a, at, count, b_x.data(), b_y.data(), mirror);
        return;
    }
    __m512d y = _mm512_load_pd(b_y.data());
    if constexpr (kMirror) y = _mm512_sub_pd(_mm512_set1_pd(mirror), y);
    const __m512d dx = _mm512_sub_pd(_mm512_loadu_pd(a.x.data() + at), _mm512_load_pd(b_x.data()));
    const __m512d dy = _mm512_sub_pd(_mm512_loadu_pd(a.y.data() + at), y);
    avx512_add_distance<kPass>(dx, dy, sums, 0);
}

// values[pick[l]] in lane l, for picks below 16.
__attribute__((target("avx512f"))) inline __m512d picked(const double* values, __m512i pick) noexcept {
    return _mm512_permutex2var_pd(_mm512_loadu_pd(values), pick, _mm512_loadu_pd(values + 8));
}

// The distances from a's positions to b's at times t, given b's segment
// start time, positions and slopes in each lane.
template <bool kMirror, Pass kPass>
__attribute__((target("avx512f"))) inline void avx512_add_interpolated(__m512d t, __m512d start, __m512d x, __m512d y,
                                                                       __m512d slope_x, __m512d slope_y, __m512d a_x,
                                                                       __m512d a_y, __m512d height,
                                                                       Avx512Sums& sums) noexcept {
    const __m512d offset = _mm512_sub_pd(t, start);
    const __m512d b_x = _mm512_fmadd_pd(slope_x, offset, x);
    __m512d b_y = _mm512_fmadd_pd(slope_y, offset, y);
    if constexpr (kMirror) b_y = _mm512_sub_pd(height, b_y);
    avx512_add_distance<kPass>(_mm512_sub_pd(a_x, b_x), _mm512_sub_pd(a_y, b_y), sums, 0);
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
template <bool kMirror, Pass kPass>
__attribute__((target("avx512f"))) double avx512_pass(const CursorPath& a, std::size_t first, std::size_t end,
                                                      const CursorPath& b, double mirror, std::size_t shift,
                                                      std::size_t& shift_after, bool& doubted) noexcept {
    const double* a_time = a.time.data();
    const double* a_x = a.x.data();
    const double* a_y = a.y.data();
    const Segments s{b.time.data(), b.x.data(), b.y.data(), b.slope_x.data(), b.slope_y.data()};
    const std::size_t b_points = b.size();
    const __m512d height = _mm512_set1_pd(mirror);
    const __m512i lane = _mm512_set_epi64(7, 6, 5, 4, 3, 2, 1, 0);
    const __m512i one = _mm512_set1_epi64(1);
    Avx512Sums sums;
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
                avx512_add_interpolated<kMirror, kPass>(
                    t, start, _mm512_loadu_pd(s.x + followed), _mm512_loadu_pd(s.y + followed),
                    _mm512_loadu_pd(s.slope_x + followed), _mm512_loadu_pd(s.slope_y + followed), x, y, height, sums);
                continue;
            }
            const __mmask8 within = _mm512_cmp_pd_mask(_mm512_loadu_pd(s.time + followed - 1), t, _CMP_LE_OQ) &
                                    _mm512_cmp_pd_mask(t, _mm512_loadu_pd(s.time + followed + 2), _CMP_LT_OQ);
            if (within == 0xFF) {
                // Index into the 16 values from followed - 1: lane + (0, 1 or 2).
                __m512i pick = _mm512_mask_add_epi64(lane, past_own, lane, one);
                pick = _mm512_mask_add_epi64(pick, past_next, pick, one);
                const std::size_t from = followed - 1;
                avx512_add_interpolated<kMirror, kPass>(t, picked(s.time + from, pick), picked(s.x + from, pick),
                                                        picked(s.y + from, pick), picked(s.slope_x + from, pick),
                                                        picked(s.slope_y + from, pick), x, y, height, sums);
                shift += static_cast<std::size_t>((past_own >> 7) + (past_next >> 7)) - 1;
                continue;
            }
        }
        std::size_t k = segment_near(b, a_time[i], i + shift);
        avx512_walked_block<kMirror, kPass>(a, i, 8, b, k, mirror, sums);
        shift = k - (i + 7);
    }
    if (i < end) {
        std::size_t k = segment_near(b, a_time[i], i + shift);
        avx512_walked_block<kMirror, kPass>(a, i, end - i, b, k, mirror, sums);
    }
    shift_after = shift;
    doubted = sums.doubted();
    return sums.total();
}

// --- AVX2: four points a block, two blocks a step -------------------------------

// The distances from a's positions to b's at times t (see avx512_add_interpolated);
// the root from the estimate, or with `kByUnit` from the square-root unit.
template <bool kMirror, Pass kPass, bool kByUnit>
KZ_AVX2 inline void avx2_add_interpolated(__m256d t, __m256d start, __m256d x, __m256d y, __m256d slope_x,
                                          __m256d slope_y, __m256d a_x, __m256d a_y, __m256d height,
                                          Avx2Sums& sums) noexcept {
    const __m256d offset = _mm256_sub_pd(t, start);
    const __m256d b_x = _mm256_fmadd_pd(slope_x, offset, x);
    __m256d b_y = _mm256_fmadd_pd(slope_y, offset, y);
    if constexpr (kMirror) b_y = _mm256_sub_pd(height, b_y);
    const __m256d dx = _mm256_sub_pd(a_x, b_x);
    const __m256d dy = _mm256_sub_pd(a_y, b_y);
    if constexpr (kByUnit) {
        avx2_add_distance_by_root_unit<kPass>(dx, dy, sums, 1);
    } else {
        avx2_add_distance<kPass>(dx, dy, sums, 0);
    }
}

// values[from + l + (own_l ? 1 : 0) + (next_l ? 1 : 0)] in lane l: the
// shifted loads blended by the lanes past their own segment and past the next.
KZ_AVX2 inline __m256d blended(const double* values, __m256d past_own, __m256d past_next) noexcept {
    const __m256d own = _mm256_blendv_pd(_mm256_loadu_pd(values), _mm256_loadu_pd(values + 1), past_own);
    return _mm256_blendv_pd(own, _mm256_loadu_pd(values + 2), past_next);
}

// One block of four of a's points from i, found as the AVX-512 kernel finds
// its blocks of eight (the picks are blends of three shifted loads).
template <bool kMirror, Pass kPass, bool kByUnit>
KZ_AVX2 inline void avx2_block(const CursorPath& a, std::size_t i, const CursorPath& b, const Segments& s,
                               std::size_t& shift, double mirror, __m256d height, Avx2Sums& sums) noexcept {
    const std::size_t b_points = b.size();
    const __m256d t = _mm256_loadu_pd(a.time.data() + i);
    const __m256d x = _mm256_loadu_pd(a.x.data() + i);
    const __m256d y = _mm256_loadu_pd(a.y.data() + i);
    const std::size_t followed = i + shift;
    // The 7 values from followed - 1 exist; any hint passes this test safely.
    if (followed - 1 < b_points && b_points - (followed - 1) >= 7) [[likely]] {
        const __m256d start = _mm256_loadu_pd(s.time + followed);
        const __m256d next = _mm256_loadu_pd(s.time + followed + 1);
        const __m256d past_own = _mm256_cmp_pd(start, t, _CMP_LE_OQ);
        const __m256d past_next = _mm256_cmp_pd(next, t, _CMP_LE_OQ);
        const int own_bits = _mm256_movemask_pd(past_own);
        const int next_bits = _mm256_movemask_pd(past_next);
        if (own_bits == 0xF && next_bits == 0) [[likely]] {
            avx2_add_interpolated<kMirror, kPass, kByUnit>(
                t, start, _mm256_loadu_pd(s.x + followed), _mm256_loadu_pd(s.y + followed),
                _mm256_loadu_pd(s.slope_x + followed), _mm256_loadu_pd(s.slope_y + followed), x, y, height, sums);
            return;
        }
        const __m256d previous = _mm256_loadu_pd(s.time + followed - 1);
        const __m256d within = _mm256_and_pd(_mm256_cmp_pd(previous, t, _CMP_LE_OQ),
                                             _mm256_cmp_pd(t, _mm256_loadu_pd(s.time + followed + 2), _CMP_LT_OQ));
        if (_mm256_movemask_pd(within) == 0xF) {
            const std::size_t from = followed - 1;
            const __m256d own_start = _mm256_blendv_pd(_mm256_blendv_pd(previous, start, past_own), next, past_next);
            avx2_add_interpolated<kMirror, kPass, kByUnit>(
                t, own_start, blended(s.x + from, past_own, past_next), blended(s.y + from, past_own, past_next),
                blended(s.slope_x + from, past_own, past_next), blended(s.slope_y + from, past_own, past_next), x, y,
                height, sums);
            shift += static_cast<std::size_t>((own_bits >> 3) + (next_bits >> 3)) - 1;
            return;
        }
    }
    std::size_t k = segment_near(b, a.time[i], i + shift);
    alignas(32) std::array<double, 4> b_x;
    alignas(32) std::array<double, 4> b_y;
    k = interpolate_fused(b, a.time.data() + i, 4, k, b_x.data(), b_y.data());
    __m256d walked_y = _mm256_load_pd(b_y.data());
    if constexpr (kMirror) walked_y = _mm256_sub_pd(_mm256_set1_pd(mirror), walked_y);
    const __m256d dx = _mm256_sub_pd(x, _mm256_load_pd(b_x.data()));
    const __m256d dy = _mm256_sub_pd(y, walked_y);
    if constexpr (kByUnit) {
        avx2_add_distance_by_root_unit<kPass>(dx, dy, sums, 1);
    } else {
        avx2_add_distance<kPass>(dx, dy, sums, 0);
    }
    shift = k - (i + 3);
}

// Steps of eight of a's points: the first block's roots from the estimate,
// the second's from the square-root unit (see avx2_root.hpp); fewer than
// four points at the end are walked and summed one by one.
template <bool kMirror, Pass kPass>
KZ_AVX2 double avx2_pass(const CursorPath& a, std::size_t first, std::size_t end, const CursorPath& b, double mirror,
                         std::size_t shift, std::size_t& shift_after, bool& doubted) noexcept {
    const Segments s{b.time.data(), b.x.data(), b.y.data(), b.slope_x.data(), b.slope_y.data()};
    const __m256d height = _mm256_set1_pd(mirror);
    Avx2Sums sums;
    std::size_t i = first;
    for (; i + 8 <= end; i += 8) {
        avx2_block<kMirror, kPass, false>(a, i, b, s, shift, mirror, height, sums);
        avx2_block<kMirror, kPass, true>(a, i + 4, b, s, shift, mirror, height, sums);
    }
    if (i + 4 <= end) {
        avx2_block<kMirror, kPass, true>(a, i, b, s, shift, mirror, height, sums);
        i += 4;
    }
    if (i < end) {
        std::size_t k = segment_near(b, a.time[i], i + shift);
        alignas(32) std::array<double, 4> b_x;
        alignas(32) std::array<double, 4> b_y;
        k = interpolate_fused(b, a.time.data() + i, end - i, k, b_x.data(), b_y.data());
        sums.careful += walked_tail<kMirror>(a, i, end - i, b_x.data(), b_y.data(), mirror);
        shift = k - (end - 1);
    }
    shift_after = shift;
    doubted = sums.doubted();
    return sums.total();
}

// A vector kernel's sum of the range: fast, and again carefully when the
// fast pass doubts a square or its sum is not finite. The careful pass
// starts from the same hint; the sum does not depend on it.
template <class RunPass>
double checked_sum(std::size_t& hint, RunPass&& pass) noexcept {
    bool doubted = false;
    std::size_t after = hint;
    const double sum = pass(std::integral_constant<Pass, Pass::Fast>{}, hint, after, doubted);
    if (doubted || !std::isfinite(sum)) [[unlikely]] {
        const double careful = pass(std::integral_constant<Pass, Pass::Careful>{}, hint, after, doubted);
        hint = after;
        return careful;
    }
    hint = after;
    return sum;
}

template <bool kMirror>
double avx512_sum(const CursorPath& a, std::size_t first, std::size_t end, const CursorPath& b, double mirror,
                  std::size_t& hint) noexcept {
    return checked_sum(hint, [&](auto pass, std::size_t shift, std::size_t& after, bool& doubted) {
        return avx512_pass<kMirror, decltype(pass)::value>(a, first, end, b, mirror, shift, after, doubted);
    });
}

template <bool kMirror>
double avx2_sum(const CursorPath& a, std::size_t first, std::size_t end, const CursorPath& b, double mirror,
                std::size_t& hint) noexcept {
    return checked_sum(hint, [&](auto pass, std::size_t shift, std::size_t& after, bool& doubted) {
        return avx2_pass<kMirror, decltype(pass)::value>(a, first, end, b, mirror, shift, after, doubted);
    });
}

}  // namespace

double interpolated_distance_sum(const CursorPath& a, std::size_t first, std::size_t end, const CursorPath& b,
                                 std::optional<double> mirror_y, DistanceKernel kernel, std::size_t& hint) noexcept {
    if (first >= end) return 0.0;
    const double mirror = mirror_y.value_or(0.0);
    switch (kernel) {
        case DistanceKernel::Avx512:
            return mirror_y ? avx512_sum<true>(a, first, end, b, mirror, hint)
                            : avx512_sum<false>(a, first, end, b, mirror, hint);
        case DistanceKernel::Avx2:
            return mirror_y ? avx2_sum<true>(a, first, end, b, mirror, hint)
                            : avx2_sum<false>(a, first, end, b, mirror, hint);
        case DistanceKernel::Scalar:
        case DistanceKernel::Sse2: break;
    }
    return walked_sum(a, first, end, b, mirror_y, kernel);
}

}  // namespace kz
