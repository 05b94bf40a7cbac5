// What went wrong with one file, in words a person can act on, rendered from
// the decode's failure value.
#pragma once

#include <string_view>

#include "bulk/failure.hpp"
#include "common/decode_failure.hpp"

namespace kz {

// The per-file failure of a decode that stopped with `failure` (a decode
// failure: failure.is_decode()); its detail is the stop's message.
Failure describe_failure(const DecodeFailure& failure);

}  // namespace kz
