// Decoding of a decompressed frame text into the frame records of one play
// mode, whole or piece by piece.
#include "replay_events/frame_text.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>

#include "failure/stop.hpp"
#include "failure/failure_text.hpp"
#include "replay_events/item_fault.hpp"
#include "replay_events/frame_reader.hpp"
#include "text/byte_mask.hpp"
#include "text/text_scan.hpp"

namespace kz {
namespace {

// The game closes a play with a marker frame of this time delta whose field 3 holds the seed.
constexpr std::int64_t kSeedTimeDelta = -12345;

// Length of the shortest item that yields a frame, with its ',' ("0|0|0|0,"
// in standard mode).
template <class Frame>
constexpr std::size_t kShortestItemBytes = 0;
template <>
constexpr std::size_t kShortestItemBytes<ReplayEventKivo> = 8;
template <>
constexpr std::size_t kShortestItemBytes<ReplayEventTaiko> = 7;
template <>
constexpr std::size_t kShortestItemBytes<ReplayEventCatch> = 7;
template <>
constexpr std::size_t kShortestItemBytes<ReplayEventMania> = 4;

// Field 3 of one item as a signed 32-bit integer, if any.
std::optional<std::int32_t> seed_of_item(std::string_view item) noexcept {
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

// The seed field of the text's last item, found from the end; one trailing
// ',' is ignored.
std::optional<std::int32_t> seed_candidate(std::string_view text) noexcept {
    if (!text.empty() && text.back() == ',') text.remove_suffix(1);
    const std::size_t comma = text.rfind(',');
    return seed_of_item(comma == std::string_view::npos ? text : text.substr(comma + 1));
}

[[noreturn]] void stop_too_many_frames(std::size_t max_frames) {
    DecodeFailure failure;
    failure.cause = FailureCause::TooManyFrames;
    failure.value = max_frames;
    stop_decode(std::move(failure));
}

[[noreturn]] void stop_no_frame() {
    DecodeFailure failure;
    failure.cause = FailureCause::NoFrame;
    stop_decode(std::move(failure));
}

template <class Frame>
constexpr GameMode kModeOf = GameMode::STD;
template <>
constexpr GameMode kModeOf<ReplayEventTaiko> = GameMode::TAIKO;
template <>
constexpr GameMode kModeOf<ReplayEventCatch> = GameMode::CTB;
template <>
constexpr GameMode kModeOf<ReplayEventMania> = GameMode::MANIA;

// Room for the next frames: the expected count on the first frame; grown only
// past it (which real texts never do), and only up to the cap. Kept out of
// the loop, which checks the capacity alone.
template <class Frame>
[[gnu::noinline]] void make_room(Vec<Frame>& frames, std::size_t first_capacity, std::size_t max_frames) {
    if (frames.size() >= max_frames) stop_too_many_frames(max_frames);
    const std::size_t wanted = frames.capacity() == 0 ? std::max<std::size_t>(first_capacity, 1) : frames.size() * 2;
    frames.reserve(std::min(wanted, max_frames));
}

// Appends a frame, growing the list as make_room decides.
template <class Frame>
[[gnu::always_inline]] inline void append(Vec<Frame>& frames, const Frame& frame, std::size_t first_capacity,
                                          std::size_t max_frames) {
    if (frames.size() == frames.capacity()) [[unlikely]]
        make_room(frames, first_capacity, max_frames);
    frames.push_back(frame);
}

}  // namespace

template <class Frame>
std::size_t frame_capacity(std::size_t items, std::size_t text_bytes) noexcept {
    return std::min(items, text_bytes / kShortestItemBytes<Frame> + 1);
}

template <class Frame>
DecodedFrames<Frame> decode_frame_text(std::string_view text, std::size_t max_frames) {
    FrameTextReader<Frame> reader(max_frames);
    reader.expect_frames(
        frame_capacity<Frame>(count_byte(text.data(), text.data() + text.size(), ',') + 1, text.size()));
    return reader.finish(text);
}

// Reads the items of `piece` that end before `stop` (Last: all of them, the
// one ending with the piece too). Items starting before `quick_end` go to the
// quick readers first.
template <class Frame>
template <bool Last>
void FrameTextReader<Frame>::read_items(std::string_view piece, const char* const stop, const char* const quick_end) {
    // A local list keeps its pointers in registers while frames are stored.
    Vec<Frame> frames = std::move(frames_);
    const std::size_t first_capacity = first_capacity_;
    const std::size_t max_frames = max_frames_;
    const char* cursor = piece.data();
    const char* const end = cursor + piece.size();
    // The item being read, for a failure's place. The cached branch reads
    // each item with the cursor at its start, so it needs no copy.
    const char* item_begin = cursor;
    try {
        if constexpr (RepeatCache<Frame>::kKeepsItems) {
            // Items found in the cache cost little, so finding each one's end
            // where the one before ended would dominate: the ends come from masks
            // of the ',' of 64 bytes at a time while whole masks fit before the
            // tail the quick readers cannot reach, then item by item.
            RepeatCache<Frame>& repeats = repeats_;
            const auto read_item = [&](const char* item_end, bool quick) __attribute__((always_inline)) {
                Frame frame;
                if (!quick || !repeats.read(cursor, item_end, frame)) {
                    const char* general = cursor;
                    const std::optional<Frame> read = parse_frame<Frame>(general, end);
                    if (!read) return;
                    frame = *read;
                }
                append(frames, frame, first_capacity, max_frames);
            };
            if (quick_end - cursor >= static_cast<std::ptrdiff_t>(kMaskBytes)) {
                for (const char* block = cursor; block <= quick_end - kMaskBytes; block += kMaskBytes) {
                    for (std::uint64_t commas = byte_mask64(block, ','); commas != 0; commas &= commas - 1) {
                        const char* const item_end = block + std::countr_zero(commas);
                        read_item(item_end, true);
                        cursor = item_end + 1;
                    }
                }
            }
            while (Last || cursor != stop) {
                const char* const item_end = find_byte(cursor, end, ',');
                read_item(item_end, cursor < quick_end);
                if (Last && item_end == end) break;
                cursor = item_end + 1;
            }
        } else {
            // Parsing a coordinate costs more than finding where it ends: the
            // quick readers find the item's end themselves.
            while (Last || cursor != stop) {
                item_begin = cursor;
                Frame frame;
                const char* item_end = cursor < quick_end ? quick::read(cursor, frame) : nullptr;
                if (item_end != nullptr) {
                    cursor = item_end;
                } else if (std::optional<Frame> read = parse_frame<Frame>(cursor, end)) {
                    frame = *read;
                } else {
                    if (Last && cursor == end) break;
                    ++cursor;
                    continue;
                }
                append(frames, frame, first_capacity, max_frames);
                if (Last && cursor == end) break;
                ++cursor;  // past the ',' that ended the item
            }
        }
        if (Last && frames.empty()) stop_no_frame();  // a text holds at least one frame
    } catch (Stop& stopped) {
        describe_item(stopped.failure(), piece, RepeatCache<Frame>::kKeepsItems ? cursor : item_begin, kModeOf<Frame>,
                      items_before_, offset_before_);
        throw;
    }
    frames_ = std::move(frames);
}

template <class Frame>
std::size_t FrameTextReader<Frame>::read_ended_items(std::string_view piece, const char* readable_end) {
    const std::size_t last_comma = piece.rfind(',');
    if (last_comma == std::string_view::npos) return 0;
    const std::size_t ended = last_comma + 1;
    const char* const begin = piece.data();
    // Every item read here ends at its ',', which the quick readers never
    // pass, so they may start anywhere that leaves them room to look.
    const std::ptrdiff_t room = readable_end - begin - quick::kQuickReadBytes;
    const char* const quick_end = begin + std::clamp<std::ptrdiff_t>(room, 0, static_cast<std::ptrdiff_t>(ended));
    read_items<false>(piece, begin + ended, quick_end);
    const std::string_view ended_items = piece.substr(0, last_comma);
    const std::size_t comma_before = ended_items.rfind(',');
    last_ended_seed_ =
        seed_of_item(comma_before == std::string_view::npos ? ended_items : ended_items.substr(comma_before + 1));
    items_before_ += count_byte(begin, begin + ended, ',');
    offset_before_ += ended;
    return ended;
}

template <class Frame>
DecodedFrames<Frame> FrameTextReader<Frame>::finish(std::string_view piece) {
    // The last item may end with the text, where the quick readers would
    // look past it.
    const char* const begin = piece.data();
    const char* const end = begin + piece.size();
    const char* const quick_end =
        static_cast<std::ptrdiff_t>(piece.size()) > quick::kQuickReadBytes ? end - quick::kQuickReadBytes : begin;
    read_items<true>(piece, end, quick_end);
    // An empty last piece leaves the text ending with the ',' of the piece
    // before, whose last item is then the text's.
    const std::optional<std::int32_t> seed = piece.empty() ? last_ended_seed_ : seed_candidate(piece);
    DecodedFrames<Frame> result{std::move(frames_), std::nullopt};
    if (result.frames.back().time_delta == kSeedTimeDelta && seed) {
        result.frames.pop_back();
        result.rng_seed = seed;
    }
    return result;
}

template DecodedFrames<ReplayEventKivo> decode_frame_text<ReplayEventKivo>(std::string_view, std::size_t);
template DecodedFrames<ReplayEventTaiko> decode_frame_text<ReplayEventTaiko>(std::string_view, std::size_t);
template DecodedFrames<ReplayEventCatch> decode_frame_text<ReplayEventCatch>(std::string_view, std::size_t);
template DecodedFrames<ReplayEventMania> decode_frame_text<ReplayEventMania>(std::string_view, std::size_t);
template std::size_t frame_capacity<ReplayEventKivo>(std::size_t, std::size_t) noexcept;
template std::size_t frame_capacity<ReplayEventTaiko>(std::size_t, std::size_t) noexcept;
template std::size_t frame_capacity<ReplayEventCatch>(std::size_t, std::size_t) noexcept;
template std::size_t frame_capacity<ReplayEventMania>(std::size_t, std::size_t) noexcept;
template class FrameTextReader<ReplayEventKivo>;
template class FrameTextReader<ReplayEventTaiko>;
template class FrameTextReader<ReplayEventCatch>;
template class FrameTextReader<ReplayEventMania>;

}  // namespace kz
