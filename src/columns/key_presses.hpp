// Key presses as events: one row per maximal run of frames holding a key,
// found in one pass over a play's key column and clock.
#pragma once

#include <cstdint>
#include <optional>

#include "columns/frame_columns.hpp"

namespace kz {

// The bits a frame's key set holds as physical keys. The cursor mode sets a
// mouse bit with each keyboard key (K1 arrives as M1|K1, K2 as M2|K2), so
// there M1 counts only while K1 is not held, and M2 only while K2 is not;
// the other modes' bits are their keys as they are.
std::uint32_t physical_keys(GameMode mode, std::uint32_t keys) noexcept;

// The presses of `frames` (frame columns with their clock), in press order
// (ties by bit, lowest first), as a table of columns:
//   key (int32: the key's bit), press_time, release_time, duration, frame
//   (int64: the index of the pressing frame), held_to_end (bool).
// A press ends at the first frame not holding its key, at that frame's time;
// a key still held by the last frame is released at the last frame's time
// and marked held_to_end. The catch mode's `dashing` counts as a key of bit 1.
// The schema's metadata names each bit ("kadenzo.keys": "M1=1,M2=2,...").
// Nothing when the frames have no clock (its sum left 64 bits) or a press
// lasts longer than 64 bits hold. Throws std::bad_alloc only.
std::optional<FrameColumns> key_press_table(const FrameColumns& frames);

// The name `key_bits` ("M1=1,M2=2,...", the table's "kadenzo.keys") gives
// the bit `key`; a bit it does not name (a damaged or foreign file) is named
// by its place, "bit 7" ("bit -1" for no bit at all).
String key_name(std::string_view key_bits, std::int32_t key);

}  // namespace kz
