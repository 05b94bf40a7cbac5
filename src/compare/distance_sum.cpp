// Distance sums: a plain loop, the SSE2 baseline and an AVX-512 path chosen
// at run time. Each keeps several partial sums so that the additions do not
// form one chain.
#include "compare/distance_sum.hpp"

// GCC 12's AVX-512 intrinsics start some results from a deliberately
// undefined register (_mm512_undefined_pd), which its own warnings then
// report as uninitialised once they are inlined here.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include <array>
#include <cfloat>
#include <cmath>

namespace kz {
namespace {

// b's y as compared: itself, or its mirror image. mirror - y is exact in
// every kernel alike, so the kernels agree on what they compare.
struct PlainY {
    double operator()(double y) const noexcept { return y; }
};
struct MirroredY {
    double height;
    double operator()(double y) const noexcept { return height - y; }
};

// Squared distances are in range when sqrt(dx*dx + dy*dy) is exact to
// rounding: no square overflowed or fell below the normal numbers. Other
// distances (beyond about 1e150, or below about 1e-154 but not 0) are
// measured with hypot, which scales before squaring.
constexpr double kSmallestSquare = DBL_MIN;
constexpr double kLargestSquare = 0x1p1000;

template <class YOfB>
double scalar_sum(const PositionRuns& runs, YOfB y_of_b) noexcept {
    double sum = 0.0;
    for (std::size_t k = 0; k < runs.count; ++k) {
        const double dx = runs.a_x[k] - runs.b_x[k];
        const double dy = runs.a_y[k] - y_of_b(runs.b_y[k]);
        const double d = dx * dx + dy * dy;
        sum += (d >= kSmallestSquare && d <= kLargestSquare) || d == 0 ? std::sqrt(d) : std::hypot(dx, dy);
    }
    return sum;
}

template <std::size_t kLanes>
void hypot_lanes(const double (&dx)[kLanes], const double (&dy)[kLanes], double (&out)[kLanes]) noexcept {
    for (std::size_t lane = 0; lane < kLanes; ++lane) out[lane] = std::hypot(dx[lane], dy[lane]);
}

inline __m128d sse2_distance(__m128d dx, __m128d dy) noexcept {
    const __m128d d = _mm_add_pd(_mm_mul_pd(dx, dx), _mm_mul_pd(dy, dy));
    const __m128d in_range = _mm_and_pd(_mm_cmpge_pd(d, _mm_set1_pd(kSmallestSquare)),
                                        _mm_cmple_pd(d, _mm_set1_pd(kLargestSquare)));
    const __m128d zero = _mm_cmpeq_pd(d, _mm_setzero_pd());
    if (_mm_movemask_pd(_mm_or_pd(in_range, zero)) != 0x3) [[unlikely]] {
        double x[2], y[2], out[2];
        _mm_storeu_pd(x, dx);
        _mm_storeu_pd(y, dy);
        hypot_lanes(x, y, out);
        return _mm_loadu_pd(out);
    }
    return _mm_sqrt_pd(d);
}

// sqrt(d) from rsqrt14(d) by two Goldschmidt steps: s -> sqrt(d), h -> 1/(2 sqrt(d)).
// Each step squares the relative error (2^-14, 2^-28, then below 2^-53), so
// the result matches the square-root instruction to within an ulp or two.
// At d = 0 the estimate is taken at DBL_MIN and s stays 0.
__attribute__((target("avx512f"))) inline __m512d avx512_distance(__m512d dx, __m512d dy) noexcept {
    const __m512d d = _mm512_fmadd_pd(dx, dx, _mm512_mul_pd(dy, dy));
    const __mmask8 in_range = _mm512_cmp_pd_mask(d, _mm512_set1_pd(kSmallestSquare), _CMP_GE_OQ) &
                              _mm512_cmp_pd_mask(d, _mm512_set1_pd(kLargestSquare), _CMP_LE_OQ);
    const __mmask8 zero = _mm512_cmp_pd_mask(d, _mm512_setzero_pd(), _CMP_EQ_OQ);
    if (static_cast<__mmask8>(in_range | zero) != 0xFF) [[unlikely]] {
        double x[8], y[8], out[8];
        _mm512_storeu_pd(x, dx);
        _mm512_storeu_pd(y, dy);
        hypot_lanes(x, y, out);
        return _mm512_loadu_pd(out);
    }
    const __m512d half = _mm512_set1_pd(0.5);
    const __m512d estimate = _mm512_rsqrt14_pd(_mm512_max_pd(d, _mm512_set1_pd(kSmallestSquare)));
    __m512d s = _mm512_mul_pd(d, estimate);
    __m512d h = _mm512_mul_pd(half, estimate);
    __m512d r = _mm512_fnmadd_pd(s, h, half);
    s = _mm512_fmadd_pd(s, r, s);
    h = _mm512_fmadd_pd(h, r, h);
    r = _mm512_fnmadd_pd(s, h, half);
    return _mm512_fmadd_pd(s, r, s);
}

template <bool kMirror>
double sse2_sum(const PositionRuns& runs, double height) noexcept {
    const __m128d mirror = _mm_set1_pd(height);
    __m128d sum0 = _mm_setzero_pd();
    __m128d sum1 = _mm_setzero_pd();
    std::size_t k = 0;
    const auto distances = [&](std::size_t at) {
        const __m128d dx = _mm_sub_pd(_mm_loadu_pd(runs.a_x + at), _mm_loadu_pd(runs.b_x + at));
        __m128d by = _mm_loadu_pd(runs.b_y + at);
        if constexpr (kMirror) by = _mm_sub_pd(mirror, by);
        const __m128d dy = _mm_sub_pd(_mm_loadu_pd(runs.a_y + at), by);
        return sse2_distance(dx, dy);
    };
    for (; k + 4 <= runs.count; k += 4) {
        sum0 = _mm_add_pd(sum0, distances(k));
        sum1 = _mm_add_pd(sum1, distances(k + 2));
    }
    if (k + 2 <= runs.count) {
        sum0 = _mm_add_pd(sum0, distances(k));
        k += 2;
    }
    const __m128d both = _mm_add_pd(sum0, sum1);
    double sum = _mm_cvtsd_f64(both) + _mm_cvtsd_f64(_mm_unpackhi_pd(both, both));
    const PositionRuns rest{runs.a_x + k, runs.a_y + k, runs.b_x + k, runs.b_y + k, runs.count - k};
    if constexpr (kMirror) {
        sum += scalar_sum(rest, MirroredY{height});
    } else {
        sum += scalar_sum(rest, PlainY{});
    }
    return sum;
}

template <bool kMirror>
__attribute__((target("avx512f"))) inline __m512d avx512_distances(const PositionRuns& runs, std::size_t at,
                                                                   __mmask8 lanes, __m512d mirror) noexcept {
    const __m512d dx =
        _mm512_sub_pd(_mm512_maskz_loadu_pd(lanes, runs.a_x + at), _mm512_maskz_loadu_pd(lanes, runs.b_x + at));
    __m512d by = _mm512_maskz_loadu_pd(lanes, runs.b_y + at);
    if constexpr (kMirror) by = _mm512_maskz_sub_pd(lanes, mirror, by);  // lanes left out stay 0
    const __m512d dy = _mm512_sub_pd(_mm512_maskz_loadu_pd(lanes, runs.a_y + at), by);
    return avx512_distance(dx, dy);
}

template <bool kMirror>
__attribute__((target("avx512f"))) double avx512_sum(const PositionRuns& runs, double height) noexcept {
    const __m512d mirror = _mm512_set1_pd(height);
    __m512d sum0 = _mm512_setzero_pd();
    __m512d sum1 = _mm512_setzero_pd();
    std::size_t k = 0;
    for (; k + 16 <= runs.count; k += 16) {
        sum0 = _mm512_add_pd(sum0, avx512_distances<kMirror>(runs, k, 0xFF, mirror));
        sum1 = _mm512_add_pd(sum1, avx512_distances<kMirror>(runs, k + 8, 0xFF, mirror));
    }
    for (; k < runs.count; k += 8) {
        const std::size_t left = runs.count - k;
        const auto lanes = static_cast<__mmask8>(left >= 8 ? 0xFFu : (1u << left) - 1u);
        sum0 = _mm512_add_pd(sum0, avx512_distances<kMirror>(runs, k, lanes, mirror));
    }
    return _mm512_reduce_add_pd(_mm512_add_pd(sum0, sum1));
}

bool runs_avx512() noexcept {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f");
}

}  // namespace

DistanceKernel best_distance_kernel() noexcept {
    static const DistanceKernel best = runs_avx512() ? DistanceKernel::Avx512 : DistanceKernel::Sse2;
    return best;
}

std::span<const DistanceKernel> available_distance_kernels() noexcept {
    static constexpr std::array<DistanceKernel, 3> all{DistanceKernel::Scalar, DistanceKernel::Sse2,
                                                       DistanceKernel::Avx512};
    return {all.data(), best_distance_kernel() == DistanceKernel::Avx512 ? 3u : 2u};
}

double distance_sum(const PositionRuns& runs, std::optional<double> mirror_y, DistanceKernel kernel) noexcept {
    const double height = mirror_y.value_or(0.0);
    switch (kernel) {
        case DistanceKernel::Scalar:
            return mirror_y ? scalar_sum(runs, MirroredY{height}) : scalar_sum(runs, PlainY{});
        case DistanceKernel::Avx512:
            return mirror_y ? avx512_sum<true>(runs, height) : avx512_sum<false>(runs, height);
        case DistanceKernel::Sse2: break;
    }
    return mirror_y ? sse2_sum<true>(runs, height) : sse2_sum<false>(runs, height);
}

}  // namespace kz
