// Paths handed to the file reader.
#pragma once

#include <cstring>

#include "common/memory.hpp"
#include "failure/stop.hpp"

namespace kz {

// The operating system takes NUL-terminated paths; one with a NUL inside would
// silently name another file, so it stops instead.
inline void check_path(const String& path) {
    if (std::memchr(path.data(), '\0', path.size()) != nullptr) {
        stop_unwrap_err("Error { kind: InvalidInput, message: \"file name contained an unexpected NUL byte\" }");
    }
}

}  // namespace kz
