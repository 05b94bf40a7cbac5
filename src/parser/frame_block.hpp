// The compressed frame block: length, presence check, LZMA decompression, frame text.
#pragma once

#include <cstdint>
#include <optional>

#include "game_mode/game_mode.hpp"
#include "failure/decode_result.hpp"
#include "parser/text_buffer.hpp"
#include "replay/replay_record.hpp"

namespace kz {

struct FrameBlock {
    ReplayDataContainer data;  // at most the slot of `mode` is present
    std::optional<std::int32_t> rng_seed;
};

// The block's length field (a signed 32-bit number); stops on a negative one.
// The rest starts at the block.
Result<std::size_t> parse_frame_block_length(ByteView input, ByteOrder order);

// `mode` is one of STD, TAIKO, CTB, MANIA. With header_only the block is
// skipped (its length is still checked).
Result<FrameBlock> parse_frame_block(ByteView input, ByteOrder order, bool header_only, GameMode mode);

// The longest frame text a block may expand to; a longer one stops the call
// instead of exhausting memory.
inline constexpr std::size_t kMaxFrameTextBytes = std::size_t{256} << 20;

// The whole decompressed text of a block in the legacy LZMA format: stops on
// a liblzma error and on a text longer than kMaxFrameTextBytes; a stream cut
// short gives what was decoded so far; a length declared in the stream header
// ends the text, and bytes after the end of the stream are ignored. The text
// lives in the calling thread's buffer until the result is dropped.
LentTextBuffer decompress_frame_block(ByteView block);

// The same, for salvage: where decompress_frame_block stops (a liblzma
// error, a text past the limit), this ends the text decoded so far (cut to
// the limit) and writes the failure to `stopped`, whose cause stays None
// when the text ends otherwise.
LentTextBuffer decompress_frame_block_prefix(ByteView block, DecodeFailure& stopped);

// Decodes a decompressed frame text for `mode` as a file's block is decoded:
// its frames in the slot of `mode` (UNKNOWN decodes as STD) and its seed.
FrameBlock decode_block_text(std::string_view text, GameMode mode);

// Decompresses a block alone (no length before it) and decodes its text for
// `mode` (UNKNOWN decodes as STD): a file's block without the file.
FrameBlock decode_frame_block(ByteView block, GameMode mode);

// Decodes a bare frame text into the slot of `mode` (UNKNOWN decodes as STD);
// the seed is discarded.
ReplayDataContainer decode_frames_for_mode(std::string_view text, GameMode mode);

}  // namespace kz
