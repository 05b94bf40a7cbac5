// The compressed frame block: length, presence check, LZMA decompression, frame text.
#pragma once

#include <cstdint>
#include <optional>

#include "game_mode/game_mode.hpp"
#include "failure/decode_result.hpp"
#include "readers/alone_decoder.hpp"
#include "readers/text_buffer.hpp"
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

// The address space a frame text's buffer reserves: the longest text allowed
// (kMaxFrameTextBytes), one byte more that tells a longer one, and room past
// a window's text for the quick readers to look.
inline constexpr std::size_t kTextBufferLimit = kMaxFrameTextBytes + 1 + 4096;

// The output window of the decode in windows: small enough to stay in the
// cache while its items are read, large enough that a round of liblzma and
// the carried cut item cost nothing beside it.
inline constexpr std::size_t kTextWindowBytes = std::size_t{128} << 10;

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
// `mode` (UNKNOWN decodes as STD): a file's block without the file. The text
// is read window by window as it is decompressed, so it never exists whole.
FrameBlock decode_frame_block(ByteView block, GameMode mode);

// The same with windows of `window_bytes` (any size from 1 up; a cut item
// longer than a window widens it): the outcome is that of decode_block_text
// on decompress_frame_block's text, the same frames and seed or the same stop
// with the same failure.
FrameBlock decode_frame_block_in_windows(ByteView block, GameMode mode, std::size_t window_bytes);

// The same through the whole text at once: decompress_frame_block, then decode_block_text.
FrameBlock decode_frame_block_whole(ByteView block, GameMode mode);

// Decodes a bare frame text into the slot of `mode` (UNKNOWN decodes as STD);
// the seed is discarded.
ReplayDataContainer decode_frames_for_mode(std::string_view text, GameMode mode);

}  // namespace kz
