// One file's outcome as a value: its record, or what went wrong and where.
#pragma once

#include <cstddef>
#include <cstdint>
#include <variant>

#include "common/memory.hpp"
#include "parser/decode_result.hpp"
#include "replay/replay_record.hpp"

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

using Outcome = std::variant<Replay, Failure>;

// Reads and decodes one file. Never throws and writes nothing to standard
// error: every failure, memory exhaustion included, is the returned value.
Outcome decode_file_outcome(const String& path, bool header_only) noexcept;

// Decodes the contents of a file, with the same guarantees.
Outcome decode_bytes_outcome(ByteView contents, bool header_only) noexcept;

// Memory an outcome holds, roughly: what the scheduler counts against its budget.
std::size_t outcome_bytes(const Outcome& outcome) noexcept;

// `detail` cut to kMaxDetailBytes at a character boundary, with the full length said.
String bounded_detail(std::string_view detail);

}  // namespace kz
