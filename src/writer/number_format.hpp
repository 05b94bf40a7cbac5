// Numbers as text for the replay's text fields: integers exactly, floats in
// the shortest form that reads back to the same value. Never allocates.
#pragma once

#include <charconv>
#include <cmath>
#include <cstdint>

namespace kz {

// The most bytes one number takes: an int64 is 20, a double's shortest form
// at most 24 ("-2.2250738585072014e-308").
inline constexpr std::size_t kMaxNumberBytes = 32;

// Writes `value` in decimal at `out` and returns the end.
template <class Int>
inline char* write_integer(char* out, Int value) noexcept {
    return std::to_chars(out, out + kMaxNumberBytes, value).ptr;
}

// The shortest text that reads back to `value`, in plain decimal notation for
// magnitudes from 1e-4 to below 1e16 and in scientific notation outside
// ("1e-05", "1e+16"), the same choice as Python's repr of a float, so texts
// written by Python tools in the usual way come out byte for byte the same.
// Whole values have no fraction ("256", not "256.0"), as the game writes them.
template <class Float>
inline char* write_shortest(char* out, Float value) noexcept {
    const Float magnitude = std::fabs(value);
    const bool plain = magnitude == 0 || (magnitude >= Float(1e-4) && magnitude < Float(1e16)) || !std::isfinite(value);
    const auto format = plain ? std::chars_format::fixed : std::chars_format::scientific;
    return std::to_chars(out, out + kMaxNumberBytes, value, format).ptr;
}

}  // namespace kz
