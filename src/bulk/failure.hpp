// What went wrong with one file, as a value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/memory.hpp"

namespace kz {

enum class FailureKind : std::uint8_t {
    File,    // the file could not be opened or read; `error_number` says why
    Decode,  // the bytes are not a replay this decoder accepts
    Limit,   // a bound of the decoder (text size, memory) was reached
};

struct Failure {
    FailureKind kind = FailureKind::Decode;
    int error_number = 0;  // File only: errno
    // What is wrong and where, for a person: the field or frame and its byte
    // offset, never the input itself.
    String message;
    // The message the single-file and batch functions give for the same
    // input, cut to kMaxDetailBytes.
    String detail;
};

// Details longer than this keep their start and say how long they were.
inline constexpr std::size_t kMaxDetailBytes = 1024;

// `detail` cut to kMaxDetailBytes at a character boundary, with the full length said.
String bounded_detail(std::string_view detail);

}  // namespace kz
