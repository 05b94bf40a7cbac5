// Items seen before, for the play modes whose items repeat.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "replay_events/frame_reader.hpp"

namespace kz {

// In the drum and key modes most items are one of a few dozen texts ("16|320|0|0",
// "16|0|0|0": the same time step, no key held). An item's record depends on its
// bytes alone, so the record of an item read before is looked up by its bytes
// instead of being read again. Only items of fewer than 16 bytes that the quick
// readers accepted are kept; anything else goes to the quick readers and then the
// general rules as before. The other modes carry coordinates that rarely repeat,
// and go straight to the quick readers.
template <class Frame>
class RepeatCache {
public:
    // quick::read, the same contract: the ',' ending the item, or nullptr.
    // Needs 16 readable bytes at p.
    const char* read(const char* p, Frame& frame) noexcept { return quick::read(p, frame); }
};

#if defined(__SSE2__)
template <class Frame>
    requires std::is_same_v<Frame, ReplayEventTaiko> || std::is_same_v<Frame, ReplayEventMania>
class RepeatCache<Frame> {
public:
    RepeatCache() noexcept {
        // A key always holds its ',' and zeros after it, so all-ones never matches.
        for (Entry& entry : entries_) entry.key = _mm_set1_epi8(-1);
    }

    const char* read(const char* p, Frame& frame) noexcept {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const auto commas = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, _mm_set1_epi8(','))));
        if (commas == 0) return quick::read(p, frame);
        const int length = __builtin_ctz(commas);
        // The item with its ',': items that differ in length differ in the key too.
        const __m128i key = _mm_and_si128(chunk, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kMasks[static_cast<std::size_t>(length)].data())));
        Entry& entry = entries_[slot_of(key)];
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(key, entry.key)) == 0xFFFF) {
            frame = entry.frame;
            return p + length;
        }
        const char* const item_end = quick::read(p, frame);
        if (item_end == p + length) {
            entry.key = key;
            entry.frame = frame;
        }
        return item_end;
    }

private:
    static constexpr int kSlotBits = 9;

    static std::size_t slot_of(__m128i key) noexcept {
        std::uint64_t halves[2];
        std::memcpy(halves, &key, sizeof halves);
        const std::uint64_t mixed = (halves[0] ^ (halves[1] * 0x9E3779B97F4A7C15u)) * 0xBF58476D1CE4E5B9u;
        return static_cast<std::size_t>(mixed >> (64 - kSlotBits));
    }

    // kMasks[n] keeps bytes 0 to n: an item of n bytes and its ','.
    static constexpr auto kMasks = [] {
        std::array<std::array<std::uint8_t, 16>, 16> masks{};
        for (std::size_t n = 0; n < 16; ++n) {
            for (std::size_t i = 0; i <= n; ++i) masks[n][i] = 0xFF;
        }
        return masks;
    }();

    struct Entry {
        __m128i key;
        Frame frame;
    };
    std::array<Entry, std::size_t{1} << kSlotBits> entries_;
};
#endif

}  // namespace kz
