// Decoding of a decompressed frame text into the frame records of one play mode.
#pragma once

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

// Frame is one of ReplayEventKivo, ReplayEventTaiko, ReplayEventCatch,
// ReplayEventMania. Stops on a malformed item or a text without frames.
template <class Frame>
DecodedFrames<Frame> decode_frame_text(std::string_view text);

extern template DecodedFrames<ReplayEventKivo> decode_frame_text<ReplayEventKivo>(std::string_view);
extern template DecodedFrames<ReplayEventTaiko> decode_frame_text<ReplayEventTaiko>(std::string_view);
extern template DecodedFrames<ReplayEventCatch> decode_frame_text<ReplayEventCatch>(std::string_view);
extern template DecodedFrames<ReplayEventMania> decode_frame_text<ReplayEventMania>(std::string_view);

}  // namespace kz
