// Distance sums: a plain loop, the SSE2 baseline and an AVX-512 path chosen
// at run time. Each keeps several partial sums so that the additions do not
// form one chain.
#include "compare/distance_sum.hpp"

#include "compare/avx512_root.hpp"

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
// rounding: no square overflowed or fell below the normal numbers. The plain
// loop measures other distances (beyond about 1e150, or below about 1e-154
// but not 0) with hypot, which scales before squaring.
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

// Squares that overflow make the sums of the vector kernels infinite or
// NaN; such a run is measured again by the plain loop, which takes hypot
// where a square is out of range.
template <bool kMirror>
double plain_sum(const PositionRuns& runs, double height) noexcept {
    if constexpr (kMirror) {
        return scalar_sum(runs, MirroredY{height});
    } else {
        return scalar_sum(runs, PlainY{});
    }
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
        return _mm_sqrt_pd(_mm_add_pd(_mm_mul_pd(dx, dx), _mm_mul_pd(dy, dy)));
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
    sum += plain_sum<kMirror>({runs.a_x + k, runs.a_y + k, runs.b_x + k, runs.b_y + k, runs.count - k}, height);
    if (!std::isfinite(sum)) [[unlikely]]
        return plain_sum<kMirror>(runs, height);
    return sum;
}

// The AVX-512 kernel. Squares are not checked one by one: a square that
// overflowed makes the sum NaN, and then the run is measured again with hypot.
template <bool kMirror>
__attribute__((target("avx512f"))) inline __m512d avx512_add_distances(const PositionRuns& runs, std::size_t at,
                                                                       __mmask8 lanes, __m512d mirror,
                                                                       __m512d sum) noexcept {
    const __m512d dx =
        _mm512_sub_pd(_mm512_maskz_loadu_pd(lanes, runs.a_x + at), _mm512_maskz_loadu_pd(lanes, runs.b_x + at));
    __m512d by = _mm512_maskz_loadu_pd(lanes, runs.b_y + at);
    if constexpr (kMirror) by = _mm512_maskz_sub_pd(lanes, mirror, by);  // lanes left out stay 0
    const __m512d dy = _mm512_sub_pd(_mm512_maskz_loadu_pd(lanes, runs.a_y + at), by);
    return avx512_add_distance(dx, dy, sum);
}

// The same for eight full lanes with the square-root instruction. Its unit
// works beside the multiply-add ports that bound the estimate's series, so
// one vector in four taken this way measured about a tenth faster than all
// by the series (one in two, slower: the unit takes 16 cycles a vector).
template <bool kMirror>
__attribute__((target("avx512f"))) inline __m512d avx512_add_distances_by_root_unit(const PositionRuns& runs,
                                                                                    std::size_t at, __m512d mirror,
                                                                                    __m512d sum) noexcept {
    const __m512d dx = _mm512_sub_pd(_mm512_loadu_pd(runs.a_x + at), _mm512_loadu_pd(runs.b_x + at));
    __m512d by = _mm512_loadu_pd(runs.b_y + at);
    if constexpr (kMirror) by = _mm512_sub_pd(mirror, by);
    const __m512d dy = _mm512_sub_pd(_mm512_loadu_pd(runs.a_y + at), by);
    return _mm512_add_pd(sum, _mm512_sqrt_pd(_mm512_fmadd_pd(dx, dx, _mm512_mul_pd(dy, dy))));
}

template <bool kMirror>
__attribute__((target("avx512f"))) double avx512_sum(const PositionRuns& runs, double height) noexcept {
    const __m512d mirror = _mm512_set1_pd(height);
    __m512d sums[4] = {_mm512_setzero_pd(), _mm512_setzero_pd(), _mm512_setzero_pd(), _mm512_setzero_pd()};
    std::size_t k = 0;
    for (; k + 32 <= runs.count; k += 32) {
        for (std::size_t part = 0; part < 3; ++part) {
            sums[part] = avx512_add_distances<kMirror>(runs, k + 8 * part, 0xFF, mirror, sums[part]);
        }
        sums[3] = avx512_add_distances_by_root_unit<kMirror>(runs, k + 24, mirror, sums[3]);
    }
    for (; k < runs.count; k += 8) {
        const std::size_t left = runs.count - k;
        const auto lanes = static_cast<__mmask8>(left >= 8 ? 0xFFu : (1u << left) - 1u);
        sums[0] = avx512_add_distances<kMirror>(runs, k, lanes, mirror, sums[0]);
    }
    const double sum =
        _mm512_reduce_add_pd(_mm512_add_pd(_mm512_add_pd(sums[0], sums[1]), _mm512_add_pd(sums[2], sums[3])));
    if (!std::isfinite(sum)) [[unlikely]]
        return plain_sum<kMirror>(runs, height);
    return sum;
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
        case DistanceKernel::Scalar: return mirror_y ? scalar_sum(runs, MirroredY{height}) : scalar_sum(runs, PlainY{});
        case DistanceKernel::Avx512: return mirror_y ? avx512_sum<true>(runs, height) : avx512_sum<false>(runs, height);
        case DistanceKernel::Sse2: break;
    }
    return mirror_y ? sse2_sum<true>(runs, height) : sse2_sum<false>(runs, height);
}

}  // namespace kz
