// Decoding of a decompressed frame text into the frame records of one play mode.
#include "replay_events/frame_text.hpp"

#include "replay_events/frame_reader.hpp"

namespace kz {
namespace {

// The game closes a play with a marker frame of this time delta whose field 3 holds the seed.
constexpr std::int64_t kSeedTimeDelta = -12345;

// Length of a short but common item per mode ("16|256.1234|100.5|1," in
// standard mode). The list starts with room for the frames of a text made of
// such items: real plays then grow it at most once or twice instead of a
// dozen times, and a text of empty items reserves no more than about its own
// size.
template <class Frame>
constexpr std::size_t kShortItemBytes = 0;
template <>
constexpr std::size_t kShortItemBytes<ReplayEventKivo> = 20;
template <>
constexpr std::size_t kShortItemBytes<ReplayEventTaiko> = 12;
template <>
constexpr std::size_t kShortItemBytes<ReplayEventCatch> = 16;
template <>
constexpr std::size_t kShortItemBytes<ReplayEventMania> = 8;

// Field 3 of the text's last item as a signed 32-bit integer, if any. Looks
// only at the last item, found from the end; one trailing ',' is ignored.
std::optional<std::int32_t> seed_candidate(std::string_view text) noexcept {
    if (!text.empty() && text.back() == ',') text.remove_suffix(1);
    const std::size_t comma = text.rfind(',');
    const std::string_view item = comma == std::string_view::npos ? text : text.substr(comma + 1);
    if (item.empty()) return std::nullopt;
    std::size_t start = 0;
    for (int bars = 0; bars < 3; ++bars) {
        const std::size_t bar = item.find('|', start);
        if (bar == std::string_view::npos) return std::nullopt;
        start = bar + 1;
    }
    // The prefix rule stops at the next '|' by itself: a '|' is no digit.
    std::int32_t seed;
    if (read_prefix_int(item.data() + start, item.data() + item.size(), seed) == nullptr) return std::nullopt;
    return seed;
}

}  // namespace

template <class Frame>
DecodedFrames<Frame> decode_frame_text(std::string_view text) {
    const std::optional<std::int32_t> seed = seed_candidate(text);
    DecodedFrames<Frame> result;
    const char* cursor = text.data();
    const char* const end = cursor + text.size();
    while (true) {
        if (std::optional<Frame> frame = parse_frame<Frame>(cursor, end)) {
            if (result.frames.empty()) result.frames.reserve(text.size() / kShortItemBytes<Frame> + 4);
            result.frames.push_back(*frame);
        }
        if (cursor == end) break;
        ++cursor;  // past the ',' that ended the item
    }
    if (result.frames.empty()) stop_unwrap_none();  // a text holds at least one frame
    if (result.frames.back().time_delta == kSeedTimeDelta && seed) {
        result.frames.pop_back();
        result.rng_seed = seed;
    }
    return result;
}

template DecodedFrames<ReplayEventKivo> decode_frame_text<ReplayEventKivo>(std::string_view);
template DecodedFrames<ReplayEventTaiko> decode_frame_text<ReplayEventTaiko>(std::string_view);
template DecodedFrames<ReplayEventCatch> decode_frame_text<ReplayEventCatch>(std::string_view);
template DecodedFrames<ReplayEventMania> decode_frame_text<ReplayEventMania>(std::string_view);

}  // namespace kz
