// The running sum of a column of 64-bit integers: the time of each frame
// from the time since the previous one.
#pragma once

#include <cstdint>
#include <span>

namespace kz {

// out[i] = values[0] + ... + values[i], wrapping modulo 2**64 as a signed
// 64-bit sum does on every machine this runs on (no overflow is undefined
// here). `out` holds at least values.size() slots; it may alias `values`.
void running_sum(std::span<const std::int64_t> values, std::span<std::int64_t> out) noexcept;

}  // namespace kz
