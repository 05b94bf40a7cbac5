// How many bytes a field takes, from its first bytes: what a reader that
// holds only the start of a file needs to know to read the next field whole.
#pragma once

#include <cstdint>

#include "layout/replay_layout.hpp"
#include "failure/decode_result.hpp"

namespace kz::layout {

struct Extent {
    enum class Status : std::uint8_t {
        Whole,      // the field takes `bytes` bytes
        NeedMore,   // at least `bytes` bytes must be there to say how many it takes
        Malformed,  // the field cannot be read, however many bytes follow
    };
    Status status;
    std::uint64_t bytes = 0;  // saturates at UINT64_MAX
};

// The extent of a field of `kind` whose bytes start `available` (which may
// stop anywhere). A replay id is taken at its long form.
Extent extent_of(Kind kind, ByteView available) noexcept;

}  // namespace kz::layout
