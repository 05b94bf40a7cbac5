// The most a file read may hold in memory.
#pragma once

#include <cstdint>

namespace kz {

// A full decode holds the whole file. The block length is a signed 32-bit
// number (under 2 GiB); the header's strings and life-bar text have no bound
// of their own, but real ones are a few kilobytes. 4 GiB leaves them 2 GiB
// and still stops a huge or sparse file before it fills memory.
inline constexpr std::uint64_t kMaxFileBytes = std::uint64_t{4} << 30;

// "called `Result::unwrap()` on an `Err` value: Error { kind: FileTooLarge,
// message: \"file exceeds 4294967296 bytes\" }".
[[noreturn]] void stop_file_too_large();

}  // namespace kz
