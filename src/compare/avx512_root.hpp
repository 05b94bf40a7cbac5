// The distances the AVX-512 paths share: square roots from the processor's
// 14-bit estimate and a short series, several times the throughput of its
// square-root unit, or from that unit, with the record of squares out of
// range (see careful_distance.hpp). Included only by the files that compile
// AVX-512 code for run-time dispatch; callers must check the processor first.
#pragma once

// GCC 12's AVX-512 intrinsics start some results from a deliberately
// undefined register (_mm512_undefined_pd), which its own warnings then
// report as uninitialised once they are inlined.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include <array>
#include <cfloat>

#include "compare/careful_distance.hpp"

namespace kz {

// The partial sums of one pass and what it has seen of the squares.
struct Avx512Sums {
    __m512d sum[4];
    __m512d most_error;    // fast: the largest series term e (see avx512_add_distance)
    __m512d least_square;  // fast: the smallest square taken by the square-root unit
    double careful = 0.0;  // careful: the lanes out of range, and tails, by careful_distance

    __attribute__((target("avx512f"))) Avx512Sums() noexcept
        : sum{_mm512_setzero_pd(), _mm512_setzero_pd(), _mm512_setzero_pd(), _mm512_setzero_pd()},
          most_error(_mm512_setzero_pd()),
          least_square(_mm512_set1_pd(kSafeSquareHigh)) {}

    // The pass's sum: the partial sums in a fixed order, then the careful lanes.
    __attribute__((target("avx512f"))) double total() const noexcept {
        return _mm512_reduce_add_pd(_mm512_add_pd(_mm512_add_pd(sum[0], sum[1]), _mm512_add_pd(sum[2], sum[3]))) +
               careful;
    }

    // Whether a fast pass must be done again carefully: a square below the
    // safe range (0 included), or one that overflowed (the sum is then NaN
    // or infinite; callers check it).
    __attribute__((target("avx512f"))) bool doubted() const noexcept {
        return _mm512_reduce_max_pd(most_error) > kMostError || _mm512_reduce_min_pd(least_square) < kSafeSquareLow;
    }

    // The series below stays exact to rounding while |e| <= kMostError: the
    // estimate's error keeps |e| below 2^-13 for every square it estimates,
    // and a clamped square (below DBL_MIN) gives e near 1.
    static constexpr double kMostError = 0x1.1p-13;
};

// Lanes whose square is out of range and not an exact 0 (from equal
// positions), as a mask; such lanes are summed by careful_distance.
__attribute__((target("avx512f"))) inline __mmask8 avx512_out_of_range(__m512d d, __m512d dx, __m512d dy) noexcept {
    const __mmask8 in_range = _mm512_cmp_pd_mask(d, _mm512_set1_pd(kSafeSquareLow), _CMP_GE_OQ) &
                              _mm512_cmp_pd_mask(d, _mm512_set1_pd(kSafeSquareHigh), _CMP_LE_OQ);
    const __mmask8 moved = _mm512_cmp_pd_mask(dx, _mm512_setzero_pd(), _CMP_NEQ_UQ) |
                           _mm512_cmp_pd_mask(dy, _mm512_setzero_pd(), _CMP_NEQ_UQ);
    return static_cast<__mmask8>(~in_range & moved);
}

// The careful pass's lanes of `need`, summed by careful_distance.
__attribute__((target("avx512f"))) inline double avx512_careful_lanes(__m512d dx, __m512d dy, __mmask8 need) noexcept {
    alignas(64) std::array<double, 8> x;
    alignas(64) std::array<double, 8> y;
    _mm512_store_pd(x.data(), dx);
    _mm512_store_pd(y.data(), dy);
    return careful_lanes<8>(x.data(), y.data(), need);
}

// sums.sum[part] + the distance of (dx, dy) in each lane, the root from the
// estimate. With y = rsqrt14(d), t = d * y and e = 1 - t * y (|e| < 2^-13),
// sqrt(d) = t * (1 - e)^(-1/2) = t * (1 + e/2 + 3e^2/8 + 5e^3/16 + ...), and
// the terms left out are below 2^-53: the square-root instruction's value
// to an ulp or two. The last multiply goes into the sum. At d = 0 the
// estimate is taken at DBL_MIN, and t, so the root, is 0.
template <Pass kPass>
__attribute__((target("avx512f"))) inline void avx512_add_distance(__m512d dx, __m512d dy, Avx512Sums& sums,
                                                                   std::size_t part) noexcept {
    const __m512d d = _mm512_fmadd_pd(dx, dx, _mm512_mul_pd(dy, dy));
    const __m512d y = _mm512_rsqrt14_pd(_mm512_max_pd(d, _mm512_set1_pd(DBL_MIN)));
    __m512d t = _mm512_mul_pd(d, y);
    const __m512d e = _mm512_fnmadd_pd(t, y, _mm512_set1_pd(1.0));
    __m512d series = _mm512_fmadd_pd(e, _mm512_set1_pd(5.0 / 16), _mm512_set1_pd(3.0 / 8));
    series = _mm512_fmadd_pd(e, series, _mm512_set1_pd(0.5));
    series = _mm512_fmadd_pd(e, series, _mm512_set1_pd(1.0));
    if constexpr (kPass == Pass::Fast) {
        sums.most_error = _mm512_max_pd(sums.most_error, e);
    } else {
        const __mmask8 need = avx512_out_of_range(d, dx, dy);
        if (need != 0) [[unlikely]] {
            sums.careful += avx512_careful_lanes(dx, dy, need);
            t = _mm512_maskz_mov_pd(static_cast<__mmask8>(~need), t);
            series = _mm512_maskz_mov_pd(static_cast<__mmask8>(~need), series);
        }
    }
    sums.sum[part] = _mm512_fmadd_pd(t, series, sums.sum[part]);
}

// The same with the square-root instruction. Its unit works beside the
// multiply-add ports that bound the estimate's series.
template <Pass kPass>
__attribute__((target("avx512f"))) inline void avx512_add_distance_by_root_unit(__m512d dx, __m512d dy,
                                                                                Avx512Sums& sums,
                                                                                std::size_t part) noexcept {
    const __m512d d = _mm512_fmadd_pd(dx, dx, _mm512_mul_pd(dy, dy));
    __m512d root = _mm512_sqrt_pd(d);
    if constexpr (kPass == Pass::Fast) {
        sums.least_square = _mm512_min_pd(sums.least_square, d);
    } else {
        const __mmask8 need = avx512_out_of_range(d, dx, dy);
        if (need != 0) [[unlikely]] {
            sums.careful += avx512_careful_lanes(dx, dy, need);
            root = _mm512_maskz_mov_pd(static_cast<__mmask8>(~need), root);
        }
    }
    sums.sum[part] = _mm512_add_pd(sums.sum[part], root);
}

}  // namespace kz
