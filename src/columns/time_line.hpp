// The play's clock: the running sum of the frames' time deltas, exact in
// signed 64 bits or refused at the frame where it would leave them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace kz {

// Writes time[i] = delta[0] + ... + delta[i] into `time` (as long as
// `deltas`). Returns the index of the first frame whose sum leaves 64 bits,
// with `time` from that frame on unspecified, or nothing when every sum fits.
// Never throws, never allocates.
std::optional<std::size_t> running_time(std::span<const std::int64_t> deltas, std::int64_t* time) noexcept;

}  // namespace kz
