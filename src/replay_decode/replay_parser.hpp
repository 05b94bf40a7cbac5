// The replay file layout: one forward pass over the layout table
// (layout/replay_layout.hpp), from the mode byte to the online id. The
// table's numbers are little-endian; `order` is Little at every call.
// A failure is a DecodeError returned (the input ended, a length is too long
// a number) or a stop; either names the field being read and where it starts.
#pragma once

#include "failure/decode_result.hpp"
#include "replay/replay_record.hpp"

namespace kz {

// The rest is the bytes after the online id (callers ignore it).
Result<Replay> parse_replay(ByteView input, ByteOrder order, bool header_only);

// The header fields, the mode byte through the time stamp (the checks of the
// mode byte included): the first part of parse_replay. The rest starts at the
// frame block's length.
Result<Replay> parse_replay_header(ByteView input, ByteOrder order);

// The failure of the error parse_replay returned. `file_start` is where the
// file's bytes begin in memory (the error's views point after it) and
// `file_size` the whole file's size, of which memory may hold only the
// first bytes.
DecodeFailure failure_of(const DecodeError& error, const std::uint8_t* file_start, std::uint64_t file_size);

// The online id after the frame block: 8 bytes, or a 4-byte signed id
// (widened with its sign) when fewer than 8 remain.
Result<std::uint64_t> parse_replay_id(ByteView input, ByteOrder order) noexcept;

}  // namespace kz
