// Items seen before, for the play modes whose items repeat.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "replay_events/frame_reader.hpp"

namespace kz {

// In the drum and key modes most items are one of a few dozen texts
// ("16|320|9999|0", "17|0|15.35354|0": the same time step, no key held). An
// item's record depends on its bytes alone, so the record of an item read
// before is looked up by its bytes instead of being read again. Only items of
// fewer than 24 bytes that the quick readers accepted are kept (enough for
// "17|128|15.35354|0" and "16|368.3333|9999|10"); anything else goes to the
// quick readers and then the general rules as before. The other modes carry coordinates that rarely repeat,
// and go straight to the quick readers.
template <class Frame>
class RepeatCache {
public:
    static constexpr bool kKeepsItems = false;
};

template <class Frame>
    requires std::is_same_v<Frame, ReplayEventTaiko> || std::is_same_v<Frame, ReplayEventMania>
class RepeatCache<Frame> {
public:
    static constexpr bool kKeepsItems = true;

    RepeatCache() noexcept {
        // A key always holds its ',' and zeros after it, so all-ones never matches.
        for (Entry& entry : entries_) entry.key = {~std::uint64_t{0}, ~std::uint64_t{0}, ~std::uint64_t{0}};
    }

    // The record of the item from p to its ',' at item_end, when the quick
    // readers take it (otherwise false, and the general rules read it).
    // Needs quick::kQuickReadBytes readable bytes at p.
    [[gnu::always_inline]] bool read(const char* p, const char* item_end, Frame& frame) noexcept {
        const auto length = static_cast<std::size_t>(item_end - p);
        if (length >= kKeyBytes) [[unlikely]]
            return read_new(p, item_end, frame, nullptr, {});
        // The item with its ',': items that differ in length differ in the key too.
        Key key;
        std::memcpy(&key, p, sizeof key);
        key.low &= kMasks[length].low;
        key.middle &= kMasks[length].middle;
        key.high &= kMasks[length].high;
        Entry& entry = entries_[slot_of(key)];
        if (((key.low ^ entry.key.low) | (key.middle ^ entry.key.middle) | (key.high ^ entry.key.high)) != 0)
            [[unlikely]] {
            return read_new(p, item_end, frame, &entry, key);
        }
        // Padding and all, so that the record is later read back with
        // loads of the widths it was stored with.
        std::memcpy(&frame, &entry.frame, sizeof frame);
        return true;
    }

private:
    static constexpr int kSlotBits = 9;

    static constexpr std::size_t kKeyBytes = 24;

    // The first kKeyBytes bytes at an item, in memory order.
    struct Key {
        std::uint64_t low;
        std::uint64_t middle;
        std::uint64_t high;
    };

    struct Entry {
        Key key;
        Frame frame;
    };

    // An item not in the cache, read by the quick readers and kept in `entry`
    // (if any) when they take it. Out of line: it is the rare case, and the
    // lookup keeps its registers for itself.
    [[gnu::noinline]] bool read_new(const char* p, const char* item_end, Frame& frame, Entry* entry, Key key) noexcept {
        Frame read;
        if (quick::read(p, read) != item_end) return false;
        frame = read;
        if (entry != nullptr) {
            entry->key = key;
            entry->frame = read;
        }
        return true;
    }

    static std::size_t slot_of(const Key& key) noexcept {
        const std::uint64_t mixed =
            (key.low ^ std::rotl(key.middle, 29) ^ std::rotl(key.high, 43)) * 0x9E3779B97F4A7C15u;
        return static_cast<std::size_t>(mixed >> (64 - kSlotBits));
    }

    // kMasks[n] keeps bytes 0 to n: an item of n bytes and its ','.
    static constexpr auto kMasks = [] {
        std::array<Key, kKeyBytes> masks{};
        for (std::size_t n = 0; n < kKeyBytes; ++n) {
            std::array<std::uint8_t, kKeyBytes> bytes{};
            for (std::size_t i = 0; i <= n; ++i) bytes[i] = 0xFF;
            masks[n] = std::bit_cast<Key>(bytes);
        }
        return masks;
    }();

    std::array<Entry, std::size_t{1} << kSlotBits> entries_;
};

}  // namespace kz
