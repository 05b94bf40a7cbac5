// The compressed frame block: length, presence check, LZMA decompression, frame text.
#pragma once

#include <cstdint>
#include <optional>

#include "game_mode/game_mode.hpp"
#include "parser/decode_result.hpp"
#include "replay/replay_record.hpp"

namespace kz {

struct FrameBlock {
    ReplayDataContainer data;  // at most the slot of `mode` is present
    std::optional<std::int32_t> rng_seed;
};

// `mode` is one of STD, TAIKO, CTB, MANIA. With header_only the block is
// skipped (its length is still checked).
Result<FrameBlock> parse_frame_block(ByteView input, ByteOrder order, bool header_only, GameMode mode);

// Decodes a bare frame text into the slot of `mode` (UNKNOWN decodes as STD);
// the seed is discarded.
ReplayDataContainer decode_frames_for_mode(std::string_view text, GameMode mode);

}  // namespace kz
