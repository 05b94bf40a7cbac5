// Byte search over the separator-structured texts of a replay (life bar, frames).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kz {

// The first `byte` in [p, end), or end when absent. Safe for an empty range
// whose pointers are null (the data of an empty view), which memchr is not.
inline const char* find_byte(const char* p, const char* end, char byte) noexcept {
    if (p == end) return end;
    const void* hit = std::memchr(p, byte, static_cast<std::size_t>(end - p));
    return hit != nullptr ? static_cast<const char*>(hit) : end;
}

// How many times `byte` occurs in [p, end). Sixteen bytes at a time where the
// processor allows: a frame text is counted once before its frames are read,
// and a byte-by-byte count would cost a third of reading them.
inline std::size_t count_byte(const char* p, const char* end, char byte) noexcept {
    std::size_t count = 0;
#if defined(__SSE2__)
    const __m128i needle = _mm_set1_epi8(byte);
    const __m128i zero = _mm_setzero_si128();
    const auto matches = [&](const char* at) {
        return _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)), needle);
    };
    const auto add_up = [&](__m128i counters) {
        const __m128i sums = _mm_sad_epu8(counters, zero);
        count += static_cast<std::size_t>(_mm_cvtsi128_si32(sums) + _mm_extract_epi16(sums, 4));
    };
    // Per-byte counters of matches (each match subtracts -1), summed before
    // any of them can wrap; two of them, so that the loop is not one chain.
    while (end - p >= 32) {
        __m128i even = zero, odd = zero;
        const auto pairs = std::min<std::ptrdiff_t>((end - p) / 32, 255);
        for (std::ptrdiff_t i = 0; i < pairs; ++i, p += 32) {
            even = _mm_sub_epi8(even, matches(p));
            odd = _mm_sub_epi8(odd, matches(p + 16));
        }
        add_up(even);
        add_up(odd);
    }
    if (end - p >= 16) {
        add_up(_mm_sub_epi8(zero, matches(p)));
        p += 16;
    }
#endif
    for (; p != end; ++p) count += *p == byte ? 1 : 0;
    return count;
}

}  // namespace kz
