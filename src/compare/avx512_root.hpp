// The square root the AVX-512 distance paths share: from the processor's
// 14-bit estimate and a short series, several times the throughput of its
// square-root unit. Included only by the files that compile AVX-512 code
// for run-time dispatch; callers must check the processor first.
#pragma once

// GCC 12's AVX-512 intrinsics start some results from a deliberately
// undefined register (_mm512_undefined_pd), which its own warnings then
// report as uninitialised once they are inlined.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include <cfloat>

namespace kz {

// sum + sqrt(d) in each lane, for squares d >= 0. With y = rsqrt14(d),
// t = d * y and e = 1 - t * y (|e| < 2^-13), sqrt(d) = t * (1 - e)^(-1/2)
// = t * (1 + e/2 + 3e^2/8 + 5e^3/16 + ...), and the terms left out are below
// 2^-53: the square-root instruction's value to an ulp or two. The last
// multiply goes into the sum. At d = 0 the estimate is taken at DBL_MIN, and
// t, so the root, is 0; a root below 1e-154 (a subnormal square) comes out
// inexact, but off by less than 1e-154. An infinite square makes the sum NaN
// (callers measure such runs again).
__attribute__((target("avx512f"))) inline __m512d avx512_add_root(__m512d d, __m512d sum) noexcept {
    const __m512d y = _mm512_rsqrt14_pd(_mm512_max_pd(d, _mm512_set1_pd(DBL_MIN)));
    const __m512d t = _mm512_mul_pd(d, y);
    const __m512d e = _mm512_fnmadd_pd(t, y, _mm512_set1_pd(1.0));
    __m512d series = _mm512_fmadd_pd(e, _mm512_set1_pd(5.0 / 16), _mm512_set1_pd(3.0 / 8));
    series = _mm512_fmadd_pd(e, series, _mm512_set1_pd(0.5));
    series = _mm512_fmadd_pd(e, series, _mm512_set1_pd(1.0));
    return _mm512_fmadd_pd(t, series, sum);
}

// sum + the distance of (dx, dy) in each lane.
__attribute__((target("avx512f"))) inline __m512d avx512_add_distance(__m512d dx, __m512d dy, __m512d sum) noexcept {
    return avx512_add_root(_mm512_fmadd_pd(dx, dx, _mm512_mul_pd(dy, dy)), sum);
}

}  // namespace kz
