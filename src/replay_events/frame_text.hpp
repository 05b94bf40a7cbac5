// Decoding of a decompressed frame text into the frame records of one play mode.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "common/memory.hpp"
#include "replay_events/frame_records.hpp"
#include "replay_events/repeat_cache.hpp"

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

// Room for `items` frames, at most as many as a text of `text_bytes` can
// hold, so that a text of nothing but commas cannot make the list many times
// its own size.
template <class Frame>
std::size_t frame_capacity(std::size_t items, std::size_t text_bytes) noexcept;

// A frame text read in pieces as it arrives (from a decompressor's output
// window): each piece starts where an item starts; the items a ',' ends are
// read at once, and the cut last one is handed back to start the next piece.
// What carries over (the frames, the repeat cache, the seed field of the last
// item, the item count and the offset of the piece) makes the outcome that of
// decode_frame_text on the whole text: the same frames and seed, or the same
// stop with the same item, offset and fault.
template <class Frame>
class FrameTextReader {
public:
    explicit FrameTextReader(std::size_t max_frames = kMaxFramesPerText) noexcept : max_frames_(max_frames) {}

    // The room the list is first given (on its first frame); past it the list doubles.
    void expect_frames(std::size_t frames) noexcept { first_capacity_ = frames; }

    // Reads the items of `piece` up to its last ',' and returns their length
    // in bytes: the rest is the start of the next piece. The bytes up to
    // `readable_end` (at or past the piece's end) may be looked at.
    std::size_t read_ended_items(std::string_view piece, const char* readable_end);

    // Reads `piece` to its end, the text's last item included, and hands the
    // frames over with the seed taken out of them.
    DecodedFrames<Frame> finish(std::string_view piece);

private:
    template <bool Last>
    void read_items(std::string_view piece, const char* stop, const char* quick_end);

    Vec<Frame> frames_;
    RepeatCache<Frame> repeats_;
    std::size_t first_capacity_ = 0;
    std::size_t max_frames_;
    std::uint64_t items_before_ = 0;               // the items of the pieces read before this one
    std::uint64_t offset_before_ = 0;              // and their bytes
    std::optional<std::int32_t> last_ended_seed_;  // the seed field of the last item a ',' ended
};

extern template DecodedFrames<ReplayEventKivo> decode_frame_text<ReplayEventKivo>(std::string_view, std::size_t);
extern template DecodedFrames<ReplayEventTaiko> decode_frame_text<ReplayEventTaiko>(std::string_view, std::size_t);
extern template DecodedFrames<ReplayEventCatch> decode_frame_text<ReplayEventCatch>(std::string_view, std::size_t);
extern template DecodedFrames<ReplayEventMania> decode_frame_text<ReplayEventMania>(std::string_view, std::size_t);
extern template std::size_t frame_capacity<ReplayEventKivo>(std::size_t, std::size_t) noexcept;
extern template std::size_t frame_capacity<ReplayEventTaiko>(std::size_t, std::size_t) noexcept;
extern template std::size_t frame_capacity<ReplayEventCatch>(std::size_t, std::size_t) noexcept;
extern template std::size_t frame_capacity<ReplayEventMania>(std::size_t, std::size_t) noexcept;
extern template class FrameTextReader<ReplayEventKivo>;
extern template class FrameTextReader<ReplayEventTaiko>;
extern template class FrameTextReader<ReplayEventCatch>;
extern template class FrameTextReader<ReplayEventMania>;

}  // namespace kz
