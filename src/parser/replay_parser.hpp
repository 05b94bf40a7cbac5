// The replay file layout: one forward pass from the mode byte to the online id.
#pragma once

#include "parser/decode_result.hpp"
#include "replay/replay_record.hpp"

namespace kz {

// The rest is the bytes after the online id (callers ignore it).
Result<Replay> parse_replay(ByteView input, ByteOrder order, bool header_only);

}  // namespace kz
