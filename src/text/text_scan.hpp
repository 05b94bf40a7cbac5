// Byte search over the separator-structured texts of a replay (life bar, frames).
#pragma once

#include <cstddef>
#include <cstring>

namespace kz {

// The first `byte` in [p, end), or end when absent. Safe for an empty range
// whose pointers are null (the data of an empty view), which memchr is not.
inline const char* find_byte(const char* p, const char* end, char byte) noexcept {
    if (p == end) return end;
    const void* hit = std::memchr(p, byte, static_cast<std::size_t>(end - p));
    return hit != nullptr ? static_cast<const char*>(hit) : end;
}

}  // namespace kz
