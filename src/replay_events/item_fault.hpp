// A frame item that stops the decode, as a failure value: the reader's stop
// (what its rule said), and, found from the item's text while it is there,
// the first of the mode's checks that the item fails, for the message a
// person reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "failure/decode_failure.hpp"
#include "game_mode/game_mode.hpp"

namespace kz {

// Stops with BadFrameItem. TooFewFields: the item has `fields` fields and
// field `wanted` was asked for.
[[noreturn]] void stop_frame_item(ItemStop stop, std::size_t fields = 0, std::size_t wanted = 0);

// Adds to `failure` the place of the item at `item_begin` in `text` and, for
// BadFrameItem, the first check of `mode` that it fails. `text` may be a piece
// of the whole text that starts at an item: `items_before` items of
// `offset_before` bytes come before it.
void describe_item(DecodeFailure& failure, std::string_view text, const char* item_begin, GameMode mode,
                   std::uint64_t items_before = 0, std::uint64_t offset_before = 0);

// The name of the field that check `check` of `mode` reads ("time_delta", "x", ...).
std::string_view item_check_name(std::uint8_t mode, std::uint8_t check) noexcept;

}  // namespace kz
