// The distances the AVX2 paths share, as avx512_root.hpp has them for
// AVX-512: square roots from an estimate and a series, or from the
// square-root unit, with the record of squares out of range. AVX2 has no
// estimate of 1/sqrt in double precision; the float one (12 bits) is taken,
// and the series runs two terms longer. Included only by the files that
// compile AVX2 code for run-time dispatch; callers must check the processor.
#pragma once

#include <immintrin.h>

#include <array>
#include <cfloat>

#include "compare/careful_distance.hpp"

namespace kz {

#define KZ_AVX2 __attribute__((target("avx2,fma")))

// The partial sums of one pass and what it has seen of the squares.
struct Avx2Sums {
    __m256d sum[4];
    __m256d most_error;    // fast: the largest series term e (see avx2_add_distance)
    __m256d least_square;  // fast: the smallest square taken by the square-root unit
    double careful = 0.0;  // careful: the lanes out of range, and tails, by careful_distance

    KZ_AVX2 Avx2Sums() noexcept
        : sum{_mm256_setzero_pd(), _mm256_setzero_pd(), _mm256_setzero_pd(), _mm256_setzero_pd()},
          most_error(_mm256_setzero_pd()),
          least_square(_mm256_set1_pd(kSafeSquareHigh)) {}

    // The pass's sum: the partial sums in a fixed order, then the careful lanes.
    KZ_AVX2 double total() const noexcept {
        const __m256d four = _mm256_add_pd(_mm256_add_pd(sum[0], sum[1]), _mm256_add_pd(sum[2], sum[3]));
        const __m128d two = _mm_add_pd(_mm256_castpd256_pd128(four), _mm256_extractf128_pd(four, 1));
        return _mm_cvtsd_f64(two) + _mm_cvtsd_f64(_mm_unpackhi_pd(two, two)) + careful;
    }

    // Whether a fast pass must be done again carefully (see Avx512Sums::doubted).
    KZ_AVX2 bool doubted() const noexcept {
        const __m256d error_over = _mm256_cmp_pd(most_error, _mm256_set1_pd(kMostError), _CMP_GT_OQ);
        const __m256d square_under = _mm256_cmp_pd(least_square, _mm256_set1_pd(kSafeSquareLow), _CMP_LT_OQ);
        return _mm256_movemask_pd(_mm256_or_pd(error_over, square_under)) != 0;
    }

    // The float estimate's error keeps |e| within 3 * 2^-12 for every square
    // in the float range; the series to e^4 is exact to rounding up to this
    // bound. A square below the float range is estimated at FLT_MIN (e then
    // nears 1), one above it as infinite (the estimate is 0, and e is 1).
    static constexpr double kMostError = 0x1.9p-11;
};

// Lanes whose square is out of range and not an exact 0 (from equal
// positions), as bits of a mask; such lanes are summed by careful_distance.
KZ_AVX2 inline __m256d avx2_out_of_range(__m256d d, __m256d dx, __m256d dy) noexcept {
    const __m256d in_range = _mm256_and_pd(_mm256_cmp_pd(d, _mm256_set1_pd(kSafeSquareLow), _CMP_GE_OQ),
                                           _mm256_cmp_pd(d, _mm256_set1_pd(kSafeSquareHigh), _CMP_LE_OQ));
    const __m256d moved = _mm256_or_pd(_mm256_cmp_pd(dx, _mm256_setzero_pd(), _CMP_NEQ_UQ),
                                       _mm256_cmp_pd(dy, _mm256_setzero_pd(), _CMP_NEQ_UQ));
    return _mm256_andnot_pd(in_range, moved);
}

// The careful pass's lanes of `need` (all bits set in a lane), summed by careful_distance.
KZ_AVX2 inline double avx2_careful_lanes(__m256d dx, __m256d dy, __m256d need) noexcept {
    alignas(32) std::array<double, 4> x;
    alignas(32) std::array<double, 4> y;
    _mm256_store_pd(x.data(), dx);
    _mm256_store_pd(y.data(), dy);
    return careful_lanes<4>(x.data(), y.data(), static_cast<unsigned>(_mm256_movemask_pd(need)));
}

// sums.sum[part] + the distance of (dx, dy) in each lane, the root from the
// estimate: with y the float estimate of 1/sqrt(d), t = d * y and
// e = 1 - t * y, sqrt(d) = t * (1 + e/2 + 3e^2/8 + 5e^3/16 + 35e^4/128 + ...),
// and with |e| <= kMostError the terms left out are below 2^-53.
template <Pass kPass>
KZ_AVX2 inline void avx2_add_distance(__m256d dx, __m256d dy, Avx2Sums& sums, std::size_t part) noexcept {
    const __m256d d = _mm256_fmadd_pd(dx, dx, _mm256_mul_pd(dy, dy));
    const __m128 estimate = _mm_rsqrt_ps(_mm256_cvtpd_ps(_mm256_max_pd(d, _mm256_set1_pd(FLT_MIN))));
    const __m256d y = _mm256_cvtps_pd(estimate);
    __m256d t = _mm256_mul_pd(d, y);
    const __m256d e = _mm256_fnmadd_pd(t, y, _mm256_set1_pd(1.0));
    __m256d series = _mm256_fmadd_pd(e, _mm256_set1_pd(35.0 / 128), _mm256_set1_pd(5.0 / 16));
    series = _mm256_fmadd_pd(e, series, _mm256_set1_pd(3.0 / 8));
    series = _mm256_fmadd_pd(e, series, _mm256_set1_pd(0.5));
    series = _mm256_fmadd_pd(e, series, _mm256_set1_pd(1.0));
    if constexpr (kPass == Pass::Fast) {
        sums.most_error = _mm256_max_pd(sums.most_error, e);
    } else {
        const __m256d need = avx2_out_of_range(d, dx, dy);
        if (_mm256_movemask_pd(need) != 0) [[unlikely]] {
            sums.careful += avx2_careful_lanes(dx, dy, need);
            t = _mm256_andnot_pd(need, t);
            series = _mm256_andnot_pd(need, series);
        }
    }
    sums.sum[part] = _mm256_fmadd_pd(t, series, sums.sum[part]);
}

// The same with the square-root instruction: its unit works beside the
// multiply-add ports that bound the series, so half the vectors taken this
// way measured about a third faster than all by either.
template <Pass kPass>
KZ_AVX2 inline void avx2_add_distance_by_root_unit(__m256d dx, __m256d dy, Avx2Sums& sums, std::size_t part) noexcept {
    const __m256d d = _mm256_fmadd_pd(dx, dx, _mm256_mul_pd(dy, dy));
    __m256d root = _mm256_sqrt_pd(d);
    if constexpr (kPass == Pass::Fast) {
        sums.least_square = _mm256_min_pd(sums.least_square, d);
    } else {
        const __m256d need = avx2_out_of_range(d, dx, dy);
        if (_mm256_movemask_pd(need) != 0) [[unlikely]] {
            sums.careful += avx2_careful_lanes(dx, dy, need);
            root = _mm256_andnot_pd(need, root);
        }
    }
    sums.sum[part] = _mm256_add_pd(sums.sum[part], root);
}

}  // namespace kz
