// What went wrong with one file, in words a person can act on, rendered from
// the decode's failure value.
#pragma once

#include <string_view>

#include "bulk/failure.hpp"
#include "failure/decode_failure.hpp"

namespace kz {

// The per-file failure of a decode that stopped with `failure` (a decode
// failure: failure.is_decode()); its detail is the stop's message.
Failure describe_failure(const DecodeFailure& failure);

// The message of another stop (`stop_message`) while a field was read:
// "<field> at offset <n>: <stop_message>", or the stop's message alone when
// `failure` names no field.
String describe_other_stop(const DecodeFailure& failure, std::string_view stop_message);

}  // namespace kz
