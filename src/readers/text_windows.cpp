// A frame block's text decoded window by window as it is decompressed.
#include "readers/text_windows.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>

#include "failure/stop.hpp"
#include "readers/alone_decoder.hpp"
#include "readers/frame_block.hpp"
#include "readers/text_buffer.hpp"
#include "replay_events/frame_reader.hpp"
#include "text/text_scan.hpp"

namespace kz {
namespace {

// Room for the frames of the whole text, from its first window: the window's
// items per byte times the text the block is expected to hold. A stream's
// start compresses worst, so the text expected from the part of the block
// read so far is doubled (the declared length, when there is one, and the
// longest text allowed bound it), and items may be shorter later on, so the
// frames are counted a quarter over. The room is address space: only the
// frames written take memory, while a list that outgrows it is copied.
template <class Frame>
std::size_t expected_frames(std::string_view window, const AloneDecoder& decoder, ByteView block) {
    const std::size_t items = count_byte(window.data(), window.data() + window.size(), ',') + 1;
    const double block_read = static_cast<double>(std::max<std::uint64_t>(decoder.block_bytes_read(), 1));
    double text = 2.0 * static_cast<double>(window.size()) * static_cast<double>(block.size()) / block_read;
    std::uint64_t text_bound = kMaxFrameTextBytes;
    if (decoder.declared()) text_bound = std::min<std::uint64_t>(*decoder.declared(), text_bound);
    text = std::min(text, static_cast<double>(text_bound));
    const double frames =
        1.25 * static_cast<double>(items) * text / static_cast<double>(std::max<std::size_t>(window.size(), 1));
    return frame_capacity<Frame>(static_cast<std::size_t>(std::min(frames, static_cast<double>(kMaxFramesPerText))),
                                 static_cast<std::size_t>(text_bound));
}

}  // namespace

template <class Frame>
DecodedFrames<Frame> decode_text_in_windows(ByteView block, std::size_t window_bytes) {
    window_bytes = std::max<std::size_t>(window_bytes, 1);
    AloneDecoder decoder(block);
    LentTextBuffer lent(kTextBufferLimit);
    TextBuffer& buffer = *lent;  // the cut item carried over, then the window's new text
    FrameTextReader<Frame> reader;
    std::uint64_t text_bytes = 0;
    bool first = true;
    // A fault of the text found before the stream's end waits for it: a
    // failing stream is what the call reports then, as when the text is read
    // only once it is whole. Its diagnostic line is written only if it is
    // reported.
    std::optional<Stop> fault;
    for (;;) {
        const std::size_t carried = buffer.size();
        // A cut item longer than the window widens it, so that every byte is
        // moved a bounded number of times; nothing past the longest text
        // allowed (and its one telling byte) is ever decoded.
        const std::size_t room =
            std::min<std::uint64_t>(std::max(window_bytes, carried), kMaxFrameTextBytes + 1 - text_bytes);
        buffer.reserve(carried + room + quick::kQuickReadBytes);
        std::size_t written;
        const lzma_ret ret = decoder.decode(buffer.end(), room, written);
        buffer.commit(written);
        text_bytes += written;
        if (text_bytes > kMaxFrameTextBytes) stop_text_too_long();
        const DecodeRound round = decode_round(ret, room - written, decoder.declared(), text_bytes);
        if (round == DecodeRound::Failed) stop_lzma(ret);
        const bool ended = round == DecodeRound::Ended;
        if (fault) {
            buffer.clear();
        } else {
            try {
                const QuietStops quiet;
                const std::string_view window = buffer.view();
                if (first) {
                    reader.expect_frames(
                        ended ? frame_capacity<Frame>(count_byte(window.data(), window.data() + window.size(), ',') + 1,
                                                      window.size())
                              : expected_frames<Frame>(window, decoder, block));
                    first = false;
                }
                if (ended) return reader.finish(window);
                const std::size_t read =
                    reader.read_ended_items(window, window.data() + window.size() + quick::kQuickReadBytes);
                std::memmove(buffer.data(), buffer.data() + read, window.size() - read);
                buffer.truncate(window.size() - read);
            } catch (Stop& stopped) {
                fault.emplace(std::move(stopped));
                buffer.clear();
            }
        }
        if (ended) break;
    }
    stop(fault->message(), std::move(fault->failure()), fault->where());
}

template DecodedFrames<ReplayEventKivo> decode_text_in_windows<ReplayEventKivo>(ByteView, std::size_t);
template DecodedFrames<ReplayEventTaiko> decode_text_in_windows<ReplayEventTaiko>(ByteView, std::size_t);
template DecodedFrames<ReplayEventCatch> decode_text_in_windows<ReplayEventCatch>(ByteView, std::size_t);
template DecodedFrames<ReplayEventMania> decode_text_in_windows<ReplayEventMania>(ByteView, std::size_t);

}  // namespace kz
