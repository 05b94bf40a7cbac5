// Where a separator byte sits in a stretch of text, found for many bytes at once.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kz {

// Bytes of text one mask covers.
inline constexpr std::size_t kMaskBytes = 64;

// Bit i set when p[i] == byte, for the 64 bytes at p (all must be readable).
// Walking the set bits gives the separators of a stretch without a chain of
// searches, each starting where the one before ended: the items between them
// are then read independently, and the processor overlaps their work.
inline std::uint64_t byte_mask64(const char* p, char byte) noexcept {
#if defined(__SSE2__)
    const __m128i needle = _mm_set1_epi8(byte);
    const auto part = [&](int offset) {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + offset));
        return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, needle))));
    };
    return part(0) | part(16) << 16 | part(32) << 32 | part(48) << 48;
#else
    std::uint64_t mask = 0;
    for (std::size_t i = 0; i < kMaskBytes; ++i) mask |= std::uint64_t{p[i] == byte} << i;
    return mask;
#endif
}

}  // namespace kz
