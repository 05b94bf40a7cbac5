// What a damaged replay file still holds: the fields read whole before the
// fault, and the frames decoded before it. Only failed decodes come here, so
// the decoder's own path pays nothing for it.
#pragma once

#include <bitset>
#include <cstdint>

#include "failure/decode_failure.hpp"
#include "layout/replay_layout.hpp"
#include "failure/decode_result.hpp"
#include "replay/replay_record.hpp"

namespace kz {

struct SalvagedReplay {
    // The fields read; every other member keeps its default (zero, absent,
    // STD), and `fields_read` says which were read.
    Replay replay;
    // Rows of the layout table read whole. The frame block counts only when
    // its whole text decoded; rng_seed belongs to it.
    std::bitset<layout::kFieldCount> fields_read;
    // replay_data holds the frames before the fault (its list may be empty):
    // those of the text decompressed so far with the last, partial item
    // dropped, or those before the first item that does not decode.
    bool frames_partial = false;
    // The fault that ended the read (cause None when the whole file read).
    DecodeFailure failure;
};

// Reads `file` as the decoder does, field by field, keeping what was read
// before the first fault instead of stopping. With header_only the frame
// block is skipped as a header-only decode skips it. Never writes to
// standard error; memory exhaustion is the only exception it lets out.
SalvagedReplay salvage_replay(ByteView file, bool header_only);

}  // namespace kz
