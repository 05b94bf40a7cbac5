// Decoding of a decompressed frame text into the frame records of one play mode.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "common/memory.hpp"
#include "replay_events/frame_records.hpp"

namespace kz {

template <class Frame>
struct DecodedFrames {
    Vec<Frame> frames;
    std::optional<std::int32_t> rng_seed;
};

// The most frames one text may hold; the next one stops the decode. A real
// play never comes near it: ten hours of input sampled at 1,000 per second
// (far beyond the game's rate) is 36 million. It bounds what one small block
// can pin: a 256 MiB text of the shortest items would otherwise be 67 million
// frames.
inline constexpr std::size_t kMaxFramesPerText = 50'000'000;

// Frame is one of ReplayEventKivo, ReplayEventTaiko, ReplayEventCatch,
// ReplayEventMania. Stops on a malformed item, a text without frames or one
// of more than `max_frames` frames (the seed frame counted).
template <class Frame>
DecodedFrames<Frame> decode_frame_text(std::string_view text, std::size_t max_frames = kMaxFramesPerText);

extern template DecodedFrames<ReplayEventKivo> decode_frame_text<ReplayEventKivo>(std::string_view, std::size_t);
extern template DecodedFrames<ReplayEventTaiko> decode_frame_text<ReplayEventTaiko>(std::string_view, std::size_t);
extern template DecodedFrames<ReplayEventCatch> decode_frame_text<ReplayEventCatch>(std::string_view, std::size_t);
extern template DecodedFrames<ReplayEventMania> decode_frame_text<ReplayEventMania>(std::string_view, std::size_t);

}  // namespace kz
