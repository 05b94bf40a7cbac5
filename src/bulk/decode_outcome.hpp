// One file's outcome as a value: its record, or what went wrong and where.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <variant>

#include "bulk/failure.hpp"
#include "common/memory.hpp"
#include "files/byte_buffer.hpp"
#include "failure/decode_result.hpp"
#include "replay/replay_record.hpp"

namespace kz {

using Outcome = std::variant<Replay, Failure>;

// Reads and decodes one file. Never throws and writes nothing to standard
// error: every failure, memory exhaustion included, is the returned value.
Outcome decode_file_outcome(const String& path, bool header_only) noexcept;

// Decodes the contents of a file, with the same guarantees.
Outcome decode_bytes_outcome(ByteView contents, bool header_only) noexcept;

// The same for another form of the decoded file: `decode(contents)` returns
// a Value or stops, and runs with quiet stops; a stop's failure value is
// described.
template <class Value, class Decode>
std::variant<Value, Failure> decode_bytes_as(ByteView contents, Decode&& decode) noexcept;

template <class Value, class Decode>
std::variant<Value, Failure> decode_file_as(const String& path, Decode&& decode) noexcept;

// The file's bytes as the single-file function reads them, or its failure.
std::variant<ByteBuffer, Failure> read_file_or_failure(const String& path) noexcept;

// The failure of the exception being handled: a stop's decode failure
// described, another stop's message, or memory exhaustion and the like;
// call inside a catch block.
Failure failure_of_current_exception() noexcept;

// Memory an outcome holds, roughly: what the scheduler counts against its budget.
std::size_t outcome_bytes(const Outcome& outcome) noexcept;

}  // namespace kz

#include "bulk/decode_outcome_impl.hpp"
