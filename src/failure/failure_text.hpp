// Decode failures as values (failure/decode_failure.hpp): made from a
// reader's error, raised as stops, and rendered as the message the
// single-file functions raise (PanicException's text).
#pragma once

#include <cstdint>
#include <source_location>

#include "failure/decode_failure.hpp"
#include "common/memory.hpp"
#include "failure/decode_result.hpp"

namespace kz {

// The message a failure ends the single-file functions with.
String panic_text(const DecodeFailure& failure);

// What liblzma's return code `code` means: "Data", "unknown return code: 12".
String lzma_reason(std::uint64_t code);

// Stops with `failure` and its message.
[[noreturn]] void stop_decode(DecodeFailure failure, std::source_location where = std::source_location::current());

// The bytes a message quotes from a rest `total` bytes long whose start is
// `shown` (at least what the message shows: see kMaxQuotedBytes).
QuotedBytes quote(ByteView shown, std::uint64_t total);

}  // namespace kz
