// The fixed hash of a play mode: SipHash-1-3 under two zero keys over the
// code as 8 little-endian bytes, the same in every process.
#pragma once

#include <cstdint>

namespace kz {

namespace detail {
constexpr std::uint64_t rotl(std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct SipState {
    std::uint64_t v0, v1, v2, v3;
    constexpr void round() {
        v0 += v1;
        v1 = rotl(v1, 13);
        v1 ^= v0;
        v0 = rotl(v0, 32);
        v2 += v3;
        v3 = rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = rotl(v1, 17);
        v1 ^= v2;
        v2 = rotl(v2, 32);
    }
};
}  // namespace detail

// SipHash-1-3 of one 8-byte message given as its little-endian word.
constexpr std::uint64_t siphash13_u64(std::uint64_t k0, std::uint64_t k1, std::uint64_t message) {
    detail::SipState s{k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL, k0 ^ 0x6c7967656e657261ULL,
                       k1 ^ 0x7465646279746573ULL};
    s.v3 ^= message;
    s.round();
    s.v0 ^= message;
    const std::uint64_t last = std::uint64_t{8} << 56;  // message length in the top byte, no tail bytes
    s.v3 ^= last;
    s.round();
    s.v0 ^= last;
    s.v2 ^= 0xff;
    s.round();
    s.round();
    s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

// The hash as Python sees it: signed, with -1 (the interpreter's error marker) replaced by -2.
constexpr std::int64_t game_mode_hash(std::uint8_t code) {
    const auto hash = static_cast<std::int64_t>(siphash13_u64(0, 0, code));
    return hash == -1 ? -2 : hash;
}

}  // namespace kz
