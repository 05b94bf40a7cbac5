// Distance sums: a plain loop, the SSE2 baseline, and AVX2 and AVX-512 paths
// chosen at run time; and the choice of the kernel. Each vector kernel keeps
// several partial sums so that the additions do not form one chain, sums a
// run fast first, and again carefully when the fast pass doubts a square
// (see careful_distance.hpp).
#include "compare/distance_sum.hpp"

#include "compare/avx2_root.hpp"
#include "compare/avx512_root.hpp"
#include "compare/careful_distance.hpp"

#include <array>
#include <cmath>
#include <cstdlib>

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

template <class YOfB>
double scalar_sum(const PositionRuns& runs, YOfB y_of_b) noexcept {
    double sum = 0.0;
    for (std::size_t k = 0; k < runs.count; ++k) {
        sum += careful_distance(runs.a_x[k] - runs.b_x[k], runs.a_y[k] - y_of_b(runs.b_y[k]));
    }
    return sum;
}

template <bool kMirror>
double plain_sum(const PositionRuns& runs, double height) noexcept {
    if constexpr (kMirror) {
        return scalar_sum(runs, MirroredY{height});
    } else {
        return scalar_sum(runs, PlainY{});
    }
}

template <bool kMirror, Pass kPass>
double sse2_pass(const PositionRuns& runs, double height, bool& doubted) noexcept {
    const __m128d mirror = _mm_set1_pd(height);
    const __m128d low = _mm_set1_pd(kSafeSquareLow);
    const __m128d high = _mm_set1_pd(kSafeSquareHigh);
    __m128d sums[2] = {_mm_setzero_pd(), _mm_setzero_pd()};
    __m128d least = high;
    double careful = 0.0;
    std::size_t k = 0;
    const auto add = [&](std::size_t at, std::size_t part) {
        const __m128d dx = _mm_sub_pd(_mm_loadu_pd(runs.a_x + at), _mm_loadu_pd(runs.b_x + at));
        __m128d by = _mm_loadu_pd(runs.b_y + at);
        if constexpr (kMirror) by = _mm_sub_pd(mirror, by);
        const __m128d dy = _mm_sub_pd(_mm_loadu_pd(runs.a_y + at), by);
        const __m128d d = _mm_add_pd(_mm_mul_pd(dx, dx), _mm_mul_pd(dy, dy));
        __m128d root = _mm_sqrt_pd(d);
        if constexpr (kPass == Pass::Fast) {
            least = _mm_min_pd(least, d);
        } else {
            const __m128d in_range = _mm_and_pd(_mm_cmpge_pd(d, low), _mm_cmple_pd(d, high));
            const __m128d moved = _mm_or_pd(_mm_cmpneq_pd(dx, _mm_setzero_pd()), _mm_cmpneq_pd(dy, _mm_setzero_pd()));
            const __m128d need = _mm_andnot_pd(in_range, moved);
            if (_mm_movemask_pd(need) != 0) [[unlikely]] {
                alignas(16) std::array<double, 2> x;
                alignas(16) std::array<double, 2> y;
                _mm_store_pd(x.data(), dx);
                _mm_store_pd(y.data(), dy);
                careful += careful_lanes<2>(x.data(), y.data(), static_cast<unsigned>(_mm_movemask_pd(need)));
                root = _mm_andnot_pd(need, root);
            }
        }
        sums[part] = _mm_add_pd(sums[part], root);
    };
    for (; k + 4 <= runs.count; k += 4) {
        add(k, 0);
        add(k + 2, 1);
    }
    if (k + 2 <= runs.count) {
        add(k, 0);
        k += 2;
    }
    const __m128d both = _mm_add_pd(sums[0], sums[1]);
    careful += plain_sum<kMirror>({runs.a_x + k, runs.a_y + k, runs.b_x + k, runs.b_y + k, runs.count - k}, height);
    doubted = _mm_movemask_pd(_mm_cmplt_pd(least, low)) != 0;
    return _mm_cvtsd_f64(both) + _mm_cvtsd_f64(_mm_unpackhi_pd(both, both)) + careful;
}

template <bool kMirror>
double sse2_sum(const PositionRuns& runs, double height) noexcept {
    bool doubted = false;
    const double sum = sse2_pass<kMirror, Pass::Fast>(runs, height, doubted);
    if (!doubted && std::isfinite(sum)) [[likely]]
        return sum;
    return sse2_pass<kMirror, Pass::Careful>(runs, height, doubted);
}

// dx and dy of the four points from `at`.
template <bool kMirror>
KZ_AVX2 inline void avx2_differences(const PositionRuns& runs, std::size_t at, __m256d mirror, __m256d& dx,
                                     __m256d& dy) noexcept {
    dx = _mm256_sub_pd(_mm256_loadu_pd(runs.a_x + at), _mm256_loadu_pd(runs.b_x + at));
    __m256d by = _mm256_loadu_pd(runs.b_y + at);
    if constexpr (kMirror) by = _mm256_sub_pd(mirror, by);
    dy = _mm256_sub_pd(_mm256_loadu_pd(runs.a_y + at), by);
}

// The AVX2 kernel: of four vectors, two take their roots from the estimate
// and two from the square-root unit; fewer than four points at the end are
// summed one by one.
template <bool kMirror, Pass kPass>
KZ_AVX2 double avx2_pass(const PositionRuns& runs, double height, bool& doubted) noexcept {
    const __m256d mirror = _mm256_set1_pd(height);
    Avx2Sums sums;
    __m256d dx;
    __m256d dy;
    std::size_t k = 0;
    for (; k + 16 <= runs.count; k += 16) {
        for (std::size_t part = 0; part < 2; ++part) {
            avx2_differences<kMirror>(runs, k + 4 * part, mirror, dx, dy);
            avx2_add_distance<kPass>(dx, dy, sums, part);
        }
        for (std::size_t part = 2; part < 4; ++part) {
            avx2_differences<kMirror>(runs, k + 4 * part, mirror, dx, dy);
            avx2_add_distance_by_root_unit<kPass>(dx, dy, sums, part);
        }
    }
    for (; k + 4 <= runs.count; k += 4) {
        avx2_differences<kMirror>(runs, k, mirror, dx, dy);
        avx2_add_distance_by_root_unit<kPass>(dx, dy, sums, 0);
    }
    sums.careful +=
        plain_sum<kMirror>({runs.a_x + k, runs.a_y + k, runs.b_x + k, runs.b_y + k, runs.count - k}, height);
    doubted = sums.doubted();
    return sums.total();
}

template <bool kMirror>
KZ_AVX2 double avx2_sum(const PositionRuns& runs, double height) noexcept {
    bool doubted = false;
    const double sum = avx2_pass<kMirror, Pass::Fast>(runs, height, doubted);
    if (!doubted && std::isfinite(sum)) [[likely]]
        return sum;
    return avx2_pass<kMirror, Pass::Careful>(runs, height, doubted);
}

// dx and dy of the eight points from `at`.
template <bool kMirror>
__attribute__((target("avx512f"))) inline void avx512_differences(const PositionRuns& runs, std::size_t at,
                                                                  __m512d mirror, __m512d& dx, __m512d& dy) noexcept {
    dx = _mm512_sub_pd(_mm512_loadu_pd(runs.a_x + at), _mm512_loadu_pd(runs.b_x + at));
    __m512d by = _mm512_loadu_pd(runs.b_y + at);
    if constexpr (kMirror) by = _mm512_sub_pd(mirror, by);
    dy = _mm512_sub_pd(_mm512_loadu_pd(runs.a_y + at), by);
}

// The AVX-512 kernel: of four vectors, three take their roots from the
// estimate and one from the square-root unit (one in four measured about a
// tenth faster than all by the series; one in two, slower: the unit takes
// 16 cycles a vector).
template <bool kMirror, Pass kPass>
__attribute__((target("avx512f"))) double avx512_pass(const PositionRuns& runs, double height, bool& doubted) noexcept {
    const __m512d mirror = _mm512_set1_pd(height);
    Avx512Sums sums;
    __m512d dx;
    __m512d dy;
    std::size_t k = 0;
    for (; k + 32 <= runs.count; k += 32) {
        for (std::size_t part = 0; part < 3; ++part) {
            avx512_differences<kMirror>(runs, k + 8 * part, mirror, dx, dy);
            avx512_add_distance<kPass>(dx, dy, sums, part);
        }
        avx512_differences<kMirror>(runs, k + 24, mirror, dx, dy);
        avx512_add_distance_by_root_unit<kPass>(dx, dy, sums, 3);
    }
    for (; k + 8 <= runs.count; k += 8) {
        avx512_differences<kMirror>(runs, k, mirror, dx, dy);
        avx512_add_distance<kPass>(dx, dy, sums, 0);
    }
    sums.careful +=
        plain_sum<kMirror>({runs.a_x + k, runs.a_y + k, runs.b_x + k, runs.b_y + k, runs.count - k}, height);
    doubted = sums.doubted();
    return sums.total();
}

template <bool kMirror>
__attribute__((target("avx512f"))) double avx512_sum(const PositionRuns& runs, double height) noexcept {
    bool doubted = false;
    const double sum = avx512_pass<kMirror, Pass::Fast>(runs, height, doubted);
    if (!doubted && std::isfinite(sum)) [[likely]]
        return sum;
    return avx512_pass<kMirror, Pass::Careful>(runs, height, doubted);
}

constexpr std::array<DistanceKernel, 4> kAllKernels{DistanceKernel::Scalar, DistanceKernel::Sse2, DistanceKernel::Avx2,
                                                    DistanceKernel::Avx512};

bool runs_kernel(DistanceKernel kernel) noexcept {
    __builtin_cpu_init();
    switch (kernel) {
        case DistanceKernel::Avx512: return __builtin_cpu_supports("avx512f");
        case DistanceKernel::Avx2: return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
        case DistanceKernel::Scalar:
        case DistanceKernel::Sse2: break;
    }
    return true;
}

// The choice made once: the kernels this processor runs (a prefix of
// kAllKernels, as each level includes the ones below it), the one chosen,
// and the refusal of KADENZO_KERNEL if there is one.
struct KernelChoice {
    std::size_t available = 0;
    DistanceKernel chosen = DistanceKernel::Sse2;
    std::optional<KernelRefusal> refusal;
};

KernelChoice choose_kernel() noexcept {
    KernelChoice choice;
    while (choice.available < kAllKernels.size() && runs_kernel(kAllKernels[choice.available])) ++choice.available;
    choice.chosen = kAllKernels[choice.available - 1];
    // Read once, before any comparison runs on the pool's threads.
    const char* forced = std::getenv("KADENZO_KERNEL");  // NOLINT(concurrency-mt-unsafe)
    if (forced == nullptr || *forced == '\0') return choice;
    const std::string_view requested(forced);
    for (std::size_t index = 0; index < kAllKernels.size(); ++index) {
        if (distance_kernel_name(kAllKernels[index]) != requested) continue;
        if (index < choice.available) {
            choice.chosen = kAllKernels[index];
        } else {
            choice.refusal = KernelRefusal{requested, true};
        }
        return choice;
    }
    choice.refusal = KernelRefusal{requested, false};
    return choice;
}

const KernelChoice& kernel_choice() noexcept {
    static const KernelChoice choice = choose_kernel();
    return choice;
}

}  // namespace

DistanceKernel best_distance_kernel() noexcept { return kernel_choice().chosen; }

std::span<const DistanceKernel> available_distance_kernels() noexcept {
    return {kAllKernels.data(), kernel_choice().available};
}

std::optional<KernelRefusal> distance_kernel_refusal() noexcept { return kernel_choice().refusal; }

std::string_view distance_kernel_name(DistanceKernel kernel) noexcept {
    switch (kernel) {
        case DistanceKernel::Scalar: return "scalar";
        case DistanceKernel::Sse2: return "sse2";
        case DistanceKernel::Avx2: return "avx2";
        case DistanceKernel::Avx512: return "avx512";
    }
    return "?";
}

double distance_sum(const PositionRuns& runs, std::optional<double> mirror_y, DistanceKernel kernel) noexcept {
    const double height = mirror_y.value_or(0.0);
    switch (kernel) {
        case DistanceKernel::Scalar: return mirror_y ? scalar_sum(runs, MirroredY{height}) : scalar_sum(runs, PlainY{});
        case DistanceKernel::Avx2: return mirror_y ? avx2_sum<true>(runs, height) : avx2_sum<false>(runs, height);
        case DistanceKernel::Avx512: return mirror_y ? avx512_sum<true>(runs, height) : avx512_sum<false>(runs, height);
        case DistanceKernel::Sse2: break;
    }
    return mirror_y ? sse2_sum<true>(runs, height) : sse2_sum<false>(runs, height);
}

}  // namespace kz
