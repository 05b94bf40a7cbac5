// A compressed frame block alone, as the game's web service hands out a
// play's input without the rest of its replay file: raw legacy-LZMA bytes or
// their base64 text, decoded as the file path decodes its block.
#pragma once

#include <string_view>
#include <variant>

#include "bulk/failure.hpp"
#include "game_mode/game_mode.hpp"
#include "readers/frame_block.hpp"

namespace kz {

using BlockOutcome = std::variant<FrameBlock, Failure>;

// The frames and seed of `block` for `mode` (STD, TAIKO, CTB or MANIA), with
// the limits and failure texts of a file's block; offsets count from the
// block's first byte. Never throws.
BlockOutcome decode_block_outcome(ByteView block, GameMode mode) noexcept;

// The same for the base64 text of a block; text that is not base64 fails
// naming the offset of its first bad character.
BlockOutcome decode_base64_block_outcome(std::string_view text, GameMode mode) noexcept;

}  // namespace kz
