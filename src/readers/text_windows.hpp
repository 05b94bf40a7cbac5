// A frame block's text decoded window by window as liblzma writes it: the
// window stays in the cache while its items are read, and the whole text
// never exists at once.
#pragma once

#include <cstddef>

#include "common/byte_view.hpp"
#include "replay_events/frame_text.hpp"

namespace kz {

// Decompresses `block` into a window of `window_bytes` (from 1 up) and reads
// each window's items as it fills, the cut last item carried into the next.
// Ends exactly as decode_frame_text on decompress_frame_block's text: the
// same frames and seed, or the same stop (a decompression failure before any
// fault of the text, as when the text is read only once it is whole).
template <class Frame>
DecodedFrames<Frame> decode_text_in_windows(ByteView block, std::size_t window_bytes);

extern template DecodedFrames<ReplayEventKivo> decode_text_in_windows<ReplayEventKivo>(ByteView, std::size_t);
extern template DecodedFrames<ReplayEventTaiko> decode_text_in_windows<ReplayEventTaiko>(ByteView, std::size_t);
extern template DecodedFrames<ReplayEventCatch> decode_text_in_windows<ReplayEventCatch>(ByteView, std::size_t);
extern template DecodedFrames<ReplayEventMania> decode_text_in_windows<ReplayEventMania>(ByteView, std::size_t);

}  // namespace kz
