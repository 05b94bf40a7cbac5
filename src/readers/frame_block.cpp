// The compressed frame block: its length, the liblzma decompression and the hand-off to the frame text decoder.
#include "readers/frame_block.hpp"

#include <lzma.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>
#include <limits>
#include <string_view>
#include <type_traits>

#include "failure/stop.hpp"
#include "failure/failure_text.hpp"
#include "readers/alone_decoder.hpp"
#include "readers/byte_reader.hpp"
#include "readers/text_windows.hpp"
#include "replay_events/frame_text.hpp"

namespace kz {
namespace {

// Output room when the stream header does not say how long the text is.
constexpr std::size_t kDefaultTextCapacity = 1024 * 1024;
// A declared text size is trusted only up to this multiple of the block size:
// the header is untrusted input, and frame texts compress far less than this.
constexpr std::size_t kTrustedExpansion = 128;

// The first output capacity: the declared size when it is plausible for the
// block, else a default that most texts fit. One byte more than the text
// lets the decoder report the stream's end without a round that would grow
// the buffer.
std::size_t initial_capacity(ByteView block, std::optional<std::uint64_t> declared) noexcept {
    if (!declared) return kDefaultTextCapacity;
    const std::uint64_t plausible =
        std::min<std::uint64_t>({*declared, kMaxFrameTextBytes, std::uint64_t{block.size()} * kTrustedExpansion});
    return static_cast<std::size_t>(plausible) + 1;
}

template <class Frame>
std::optional<SharedFrames<Frame>>& slot_of(ReplayDataContainer& data) noexcept {
    if constexpr (std::is_same_v<Frame, ReplayEventKivo>) return data.kivo_replay_data;
    if constexpr (std::is_same_v<Frame, ReplayEventTaiko>) return data.taiko_replay_data;
    if constexpr (std::is_same_v<Frame, ReplayEventCatch>) return data.catch_replay_data;
    if constexpr (std::is_same_v<Frame, ReplayEventMania>) return data.mania_replay_data;
}

template <class Frame>
FrameBlock into_slot(DecodedFrames<Frame> decoded) {
    FrameBlock block;
    slot_of<Frame>(block.data).emplace(std::move(decoded.frames));
    block.rng_seed = decoded.rng_seed;
    return block;
}

// UNKNOWN reads as STD: only a bare text can reach here with it.
FrameBlock decode_text(std::string_view text, GameMode mode) {
    switch (mode) {
        case GameMode::TAIKO: return into_slot(decode_frame_text<ReplayEventTaiko>(text));
        case GameMode::CTB: return into_slot(decode_frame_text<ReplayEventCatch>(text));
        case GameMode::MANIA: return into_slot(decode_frame_text<ReplayEventMania>(text));
        case GameMode::STD:
        case GameMode::UNKNOWN: break;
    }
    return into_slot(decode_frame_text<ReplayEventKivo>(text));
}

}  // namespace

namespace {

// The decompression loop. A stopping error ends the call (Prefix false), or,
// for salvage, ends the text where it stands and is written to `*stopped`
// (Prefix true); the two are separate instantiations, so the decoder's own
// path carries no test for it.
template <bool Prefix>
LentTextBuffer decompress(ByteView block, [[maybe_unused]] DecodeFailure* stopped) {
    AloneDecoder decoder(block);
    LentTextBuffer lent(kTextBufferLimit);
    TextBuffer& text = *lent;
    text.reserve(initial_capacity(block, decoder.declared()));
    // The decoder runs until the stream ends or the block gives it nothing
    // more to decode; the room doubles in place when the text fills it.
    for (;;) {
        if (text.spare() == 0) text.reserve(text.capacity() * 2);
        const std::size_t room = text.spare();
        std::size_t written;
        const lzma_ret ret = decoder.decode(text.end(), room, written);
        text.commit(written);
        if (text.size() > kMaxFrameTextBytes) {
            if constexpr (Prefix) {
                text.truncate(kMaxFrameTextBytes);
                *stopped = block_failure(FailureCause::TextTooLong, kMaxFrameTextBytes);
                return lent;
            }
            stop_text_too_long();
        }
        switch (decode_round(ret, room - written, decoder.declared(), text.size())) {
            case DecodeRound::More: continue;
            case DecodeRound::Ended: return lent;
            case DecodeRound::Failed:
                if constexpr (Prefix) {
                    *stopped = block_failure(FailureCause::Lzma, static_cast<std::uint64_t>(ret));
                    return lent;
                }
                stop_lzma(ret);
        }
    }
}

}  // namespace

LentTextBuffer decompress_frame_block(ByteView block) { return decompress<false>(block, nullptr); }

LentTextBuffer decompress_frame_block_prefix(ByteView block, DecodeFailure& stopped) {
    return decompress<true>(block, &stopped);
}

FrameBlock decode_block_text(std::string_view text, GameMode mode) { return decode_text(text, mode); }

Result<std::size_t> parse_frame_block_length(ByteView input, ByteOrder order) {
    ByteView rest = input;
    KZ_TRY(length, rest, parse_i32(rest, order));
    if (length < 0) stop_decode(block_failure(FailureCause::LengthTooLarge, 0));
    return Result<std::size_t>(static_cast<std::size_t>(length), rest);
}

Result<FrameBlock> parse_frame_block(ByteView input, ByteOrder order, bool header_only, GameMode mode) {
    ByteView rest = input;
    KZ_TRY(size, rest, parse_frame_block_length(rest, order));
    if (size > rest.size()) return DecodeError::eof(rest, size);
    const ByteView block = rest.first(size);
    rest = rest.subspan(size);
    if (header_only) return Result<FrameBlock>(FrameBlock{}, rest);

    return Result<FrameBlock>(decode_frame_block(block, mode), rest);
}

FrameBlock decode_frame_block(ByteView block, GameMode mode) {
    return decode_frame_block_in_windows(block, mode, kTextWindowBytes);
}

FrameBlock decode_frame_block_in_windows(ByteView block, GameMode mode, std::size_t window_bytes) {
    switch (mode) {
        case GameMode::TAIKO: return into_slot(decode_text_in_windows<ReplayEventTaiko>(block, window_bytes));
        case GameMode::CTB: return into_slot(decode_text_in_windows<ReplayEventCatch>(block, window_bytes));
        case GameMode::MANIA: return into_slot(decode_text_in_windows<ReplayEventMania>(block, window_bytes));
        case GameMode::STD:
        case GameMode::UNKNOWN: break;
    }
    return into_slot(decode_text_in_windows<ReplayEventKivo>(block, window_bytes));
}

FrameBlock decode_frame_block_whole(ByteView block, GameMode mode) {
    const LentTextBuffer text = decompress_frame_block(block);
    return decode_text(text.view(), mode);
}

ReplayDataContainer decode_frames_for_mode(std::string_view text, GameMode mode) {
    return decode_text(text, mode).data;
}

}  // namespace kz
