// A borrowed view of input bytes, the currency of every reader of the core.
#pragma once

#include <cstdint>
#include <span>

namespace kz {

// A borrowed view of input bytes; decoding never copies or modifies it.
using ByteView = std::span<const std::uint8_t>;

}  // namespace kz
