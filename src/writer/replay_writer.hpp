// A whole replay file from a Replay record: the header fields, the life-bar
// text, the compressed frame text and the online id, exactly as the reader
// reads them. Pure: no Python, failures returned as values.
#pragma once

#include <variant>

#include "replay/replay_record.hpp"
#include "writer/lzma_alone_writer.hpp"

namespace kz {

// The frames of the replay's own mode. Refuses a replay whose mode is not a
// play mode, one without a list of its mode (a header-only decode), and one
// that also holds frames of another mode (they would be lost).
std::variant<FrameSource, EncodeError> own_frames(const Replay& replay);

// The file of `header`'s fields (its frame lists unused) with `frames` as the
// frame block, which must be of header.mode. Never writes what the reader
// refuses: every limit of the reader is checked first or on the way.
std::variant<Bytes, EncodeError> encode_replay(const Replay& header, const FrameSource& frames, StopCheck* stop);

// The life-bar text of `samples`: "time|life," per sample, lives in their shortest form.
String life_bar_text(std::span<const LifeBarState> samples);

}  // namespace kz
