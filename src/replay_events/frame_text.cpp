// Decoding of a decompressed frame text into the frame records of one play mode.
#include "replay_events/frame_text.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>

#include "common/stop.hpp"
#include "failure/failure_text.hpp"
#include "replay_events/item_fault.hpp"
#include "replay_events/frame_reader.hpp"
#include "replay_events/repeat_cache.hpp"
#include "text/byte_mask.hpp"
#include "text/text_scan.hpp"

namespace kz {
namespace {

// The game closes a play with a marker frame of this time delta whose field 3 holds the seed.
constexpr std::int64_t kSeedTimeDelta = -12345;

// Length of the shortest item that yields a frame, with its ',' ("0|0|0|0,"
// in standard mode). It bounds the room reserved for the frames, so that a
// text of nothing but commas cannot make the list many times its own size.
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

// Room for one frame per item: exact for real plays, where every item is a
// frame, so the list never grows and never holds a doubled buffer at its peak.
template <class Frame>
std::size_t frame_capacity(std::string_view text) noexcept {
    const std::size_t items = count_byte(text.data(), text.data() + text.size(), ',') + 1;
    return std::min(items, text.size() / kShortestItemBytes<Frame> + 1);
}

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

// Room for the next frames: reserved once from the text, on the first frame;
// grown only past that estimate (which real texts never exceed), and only up
// to the cap. Kept out of the loop, which checks the capacity alone.
template <class Frame>
[[gnu::noinline]] void make_room(Vec<Frame>& frames, std::string_view text, std::size_t max_frames) {
    if (frames.size() >= max_frames) stop_too_many_frames(max_frames);
    const std::size_t wanted = frames.capacity() == 0 ? frame_capacity<Frame>(text) : frames.size() * 2;
    frames.reserve(std::min(wanted, max_frames));
}

// Appends a frame, growing the list as make_room decides.
template <class Frame>
[[gnu::always_inline]] inline void append(Vec<Frame>& frames, const Frame& frame, std::string_view text,
                                          std::size_t max_frames) {
    if (frames.size() == frames.capacity()) [[unlikely]]
        make_room(frames, text, max_frames);
    frames.push_back(frame);
}

}  // namespace

template <class Frame>
DecodedFrames<Frame> decode_frame_text(std::string_view text, std::size_t max_frames) {
    const std::optional<std::int32_t> seed = seed_candidate(text);
    DecodedFrames<Frame> result;
    Vec<Frame>& frames = result.frames;
    const char* cursor = text.data();
    const char* const end = cursor + text.size();
    // Items starting before this are read by the quick readers first.
    const char* const quick_end =
        static_cast<std::ptrdiff_t>(text.size()) > quick::kQuickReadBytes ? end - quick::kQuickReadBytes : cursor;
    // The item being read, for a failure's place. The cached branch reads
    // each item with the cursor at its start, so it needs no copy.
    const char* item_begin = cursor;
    try {
        if constexpr (RepeatCache<Frame>::kKeepsItems) {
            // Items found in the cache cost little, so finding each one's end
            // where the one before ended would dominate: the ends come from masks
            // of the ',' of 64 bytes at a time while whole masks fit before the
            // tail the quick readers cannot reach, then item by item.
            RepeatCache<Frame> repeats;
            const auto read_item = [&](const char* item_end, bool quick) __attribute__((always_inline)) {
                Frame frame;
                if (!quick || !repeats.read(cursor, item_end, frame)) {
                    const char* general = cursor;
                    const std::optional<Frame> read = parse_frame<Frame>(general, end);
                    if (!read) return;
                    frame = *read;
                }
                append(frames, frame, text, max_frames);
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
            while (true) {
                const char* const item_end = find_byte(cursor, end, ',');
                read_item(item_end, cursor < quick_end);
                if (item_end == end) break;
                cursor = item_end + 1;
            }
        } else {
            // Parsing a coordinate costs more than finding where it ends: the
            // quick readers find the item's end themselves.
            while (true) {
                item_begin = cursor;
                Frame frame;
                const char* item_end = cursor < quick_end ? quick::read(cursor, frame) : nullptr;
                if (item_end != nullptr) {
                    cursor = item_end;
                } else if (std::optional<Frame> read = parse_frame<Frame>(cursor, end)) {
                    frame = *read;
                } else {
                    if (cursor == end) break;
                    ++cursor;
                    continue;
                }
                append(frames, frame, text, max_frames);
                if (cursor == end) break;
                ++cursor;  // past the ',' that ended the item
            }
        }
        if (frames.empty()) stop_no_frame();  // a text holds at least one frame
    } catch (Stop& stopped) {
        describe_item(stopped.failure(), text, RepeatCache<Frame>::kKeepsItems ? cursor : item_begin, kModeOf<Frame>);
        throw;
    }
    if (frames.back().time_delta == kSeedTimeDelta && seed) {
        frames.pop_back();
        result.rng_seed = seed;
    }
    return result;
}

template DecodedFrames<ReplayEventKivo> decode_frame_text<ReplayEventKivo>(std::string_view, std::size_t);
template DecodedFrames<ReplayEventTaiko> decode_frame_text<ReplayEventTaiko>(std::string_view, std::size_t);
template DecodedFrames<ReplayEventCatch> decode_frame_text<ReplayEventCatch>(std::string_view, std::size_t);
template DecodedFrames<ReplayEventMania> decode_frame_text<ReplayEventMania>(std::string_view, std::size_t);

}  // namespace kz
