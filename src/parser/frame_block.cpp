// The compressed frame block: its length, the liblzma decompression and the hand-off to the frame text decoder.
#include "parser/frame_block.hpp"

#include <lzma.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>
#include <limits>
#include <string_view>
#include <type_traits>

#include "common/lzma_allocator.hpp"
#include "common/stop.hpp"
#include "failure/failure_text.hpp"
#include "parser/byte_reader.hpp"
#include "replay_events/frame_text.hpp"

namespace kz {
namespace {

// liblzma charges the declared dictionary plus its own overhead against this.
constexpr std::uint64_t kDecoderMemLimit = 5 * 1024 * 1024;
// The overhead the limit was set against: dictionaries up to 5,177,480 bytes
// pass.
constexpr std::uint64_t kReferenceDecoderOverhead = 65400;
// Output room when the stream header does not say how long the text is.
constexpr std::size_t kDefaultTextCapacity = 1024 * 1024;
// A declared text size is trusted only up to this multiple of the block size:
// the header is untrusted input, and frame texts compress far less than this.
constexpr std::size_t kTrustedExpansion = 128;
// Legacy LZMA header: properties (1), dictionary size (4), uncompressed size (8).
constexpr std::size_t kAloneHeaderBytes = 13;
constexpr std::size_t kDeclaredSizeOffset = 5;

// liblzma releases differ by a few bytes in the overhead they charge; the
// limit moves by that difference so that the largest accepted dictionary is
// the same whichever release is linked. The probe is pure arithmetic.
std::uint64_t decoder_memlimit() noexcept {
    constexpr std::uint32_t probe_dictionary = 1 << 20;
    lzma_options_lzma options{};
    options.dict_size = probe_dictionary;
    const lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    const std::uint64_t usage = lzma_raw_decoder_memusage(filters);
    if (usage == UINT64_MAX || usage < probe_dictionary) return kDecoderMemLimit;
    return kDecoderMemLimit - kReferenceDecoderOverhead + (usage - probe_dictionary);
}

// Owns one decoder; lzma_end runs on every path, stops included.
class LzmaStream {
public:
    LzmaStream() noexcept { stream_.allocator = &kLzmaAllocator; }
    LzmaStream(const LzmaStream&) = delete;
    LzmaStream& operator=(const LzmaStream&) = delete;
    ~LzmaStream() { lzma_end(&stream_); }

    lzma_stream* operator->() noexcept { return &stream_; }
    lzma_stream* get() noexcept { return &stream_; }

private:
    lzma_stream stream_{};  // all-zero is liblzma's documented initial state
};

DecodeFailure block_failure(FailureCause cause, std::uint64_t value) {
    DecodeFailure failure;
    failure.cause = cause;
    failure.value = value;
    return failure;
}

[[noreturn]] void stop_lzma(lzma_ret ret) {
    stop_decode(block_failure(FailureCause::Lzma, static_cast<std::uint64_t>(ret)));
}

[[noreturn]] void stop_text_too_long() { stop_decode(block_failure(FailureCause::TextTooLong, kMaxFrameTextBytes)); }

// The text length the stream header declares, when it declares one.
std::optional<std::uint64_t> declared_text_size(ByteView block) noexcept {
    if (block.size() < kAloneHeaderBytes) return std::nullopt;
    std::uint64_t declared;
    std::memcpy(&declared, block.data() + kDeclaredSizeOffset, sizeof declared);
    if constexpr (std::endian::native == std::endian::big) declared = __builtin_bswap64(declared);
    if (declared == std::numeric_limits<std::uint64_t>::max()) return std::nullopt;  // "unknown"
    return declared;
}

// The first output capacity: the declared size when it is plausible for the
// block, else a default that most texts fit. One byte more than the text
// lets the decoder report the stream's end without a round that would grow
// the buffer.
std::size_t initial_capacity(ByteView block, std::optional<std::uint64_t> declared) noexcept {
    if (!declared) return kDefaultTextCapacity;
    const std::uint64_t plausible =
        std::min<std::uint64_t>({*declared, kMaxFrameTextBytes, std::uint64_t{block.size()} * kTrustedExpansion});
    return static_cast<std::size_t>(plausible) + 1;
}

template <class Frame>
std::optional<SharedFrames<Frame>>& slot_of(ReplayDataContainer& data) noexcept {
    if constexpr (std::is_same_v<Frame, ReplayEventKivo>) return data.kivo_replay_data;
    if constexpr (std::is_same_v<Frame, ReplayEventTaiko>) return data.taiko_replay_data;
    if constexpr (std::is_same_v<Frame, ReplayEventCatch>) return data.catch_replay_data;
    if constexpr (std::is_same_v<Frame, ReplayEventMania>) return data.mania_replay_data;
}

template <class Frame>
FrameBlock decode_into_slot(std::string_view text) {
    DecodedFrames<Frame> decoded = decode_frame_text<Frame>(text);
    FrameBlock block;
    slot_of<Frame>(block.data).emplace(std::move(decoded.frames));
    block.rng_seed = decoded.rng_seed;
    return block;
}

// UNKNOWN reads as STD: only a bare text can reach here with it.
FrameBlock decode_text(std::string_view text, GameMode mode) {
    switch (mode) {
        case GameMode::TAIKO: return decode_into_slot<ReplayEventTaiko>(text);
        case GameMode::CTB: return decode_into_slot<ReplayEventCatch>(text);
        case GameMode::MANIA: return decode_into_slot<ReplayEventMania>(text);
        case GameMode::STD:
        case GameMode::UNKNOWN: break;
    }
    return decode_into_slot<ReplayEventKivo>(text);
}

}  // namespace

namespace {

// The decompression loop. A stopping error ends the call (Prefix false), or,
// for salvage, ends the text where it stands and is written to `*stopped`
// (Prefix true); the two are separate instantiations, so the decoder's own
// path carries no test for it.
template <bool Prefix>
LentTextBuffer decompress(ByteView block, [[maybe_unused]] DecodeFailure* stopped) {
    LzmaStream stream;
    if (const lzma_ret ret = lzma_alone_decoder(stream.get(), decoder_memlimit()); ret != LZMA_OK) {
        stop_lzma(ret);  // set-up, before any text: nothing to keep
    }
    stream->next_in = block.data();
    stream->avail_in = block.size();

    const std::optional<std::uint64_t> declared = declared_text_size(block);
    // One byte of room past the limit tells a text of exactly the limit from
    // a longer one.
    LentTextBuffer lent(kMaxFrameTextBytes + 1);
    TextBuffer& text = *lent;
    text.reserve(initial_capacity(block, declared));
    // The decoder runs until the stream ends or the block gives it nothing
    // more to decode; the room doubles in place when the text fills it.
    for (;;) {
        if (text.spare() == 0) text.reserve(text.capacity() * 2);
        const std::size_t room = text.spare();
        stream->next_out = text.end();
        stream->avail_out = room;
        const lzma_ret ret = lzma_code(stream.get(), LZMA_RUN);
        text.commit(room - stream->avail_out);
        if (text.size() > kMaxFrameTextBytes) {
            if constexpr (Prefix) {
                text.truncate(kMaxFrameTextBytes);
                *stopped = block_failure(FailureCause::TextTooLong, kMaxFrameTextBytes);
                return lent;
            }
            stop_text_too_long();
        }
        switch (ret) {
            case LZMA_OK:
            case LZMA_GET_CHECK:
                // Room left over means the decoder used up the block: a stream
                // cut short inside it ends with what was decoded so far.
                if (stream->avail_out != 0) return lent;
                continue;
            case LZMA_STREAM_END:  // bytes after the end of the stream are ignored
            case LZMA_BUF_ERROR:   // no further progress possible
                return lent;
            case LZMA_DATA_ERROR:
                // A declared length ends the text. Newer liblzma goes on to
                // demand an end marker right there and calls anything else
                // corrupt; the text is complete all the same, and what follows
                // it is ignored like bytes after the end of the stream.
                if (declared && text.size() == *declared) return lent;
                [[fallthrough]];
            default:
                if constexpr (Prefix) {
                    *stopped = block_failure(FailureCause::Lzma, static_cast<std::uint64_t>(ret));
                    return lent;
                }
                stop_lzma(ret);
        }
    }
}

}  // namespace

LentTextBuffer decompress_frame_block(ByteView block) { return decompress<false>(block, nullptr); }

LentTextBuffer decompress_frame_block_prefix(ByteView block, DecodeFailure& stopped) {
    return decompress<true>(block, &stopped);
}

FrameBlock decode_block_text(std::string_view text, GameMode mode) { return decode_text(text, mode); }

Result<std::size_t> parse_frame_block_length(ByteView input, ByteOrder order) {
    ByteView rest = input;
    KZ_TRY(length, rest, parse_i32(rest, order));
    if (length < 0) stop_decode(block_failure(FailureCause::LengthTooLarge, 0));
    return Result<std::size_t>(static_cast<std::size_t>(length), rest);
}

Result<FrameBlock> parse_frame_block(ByteView input, ByteOrder order, bool header_only, GameMode mode) {
    ByteView rest = input;
    KZ_TRY(size, rest, parse_frame_block_length(rest, order));
    if (size > rest.size()) return DecodeError::eof(rest, size);
    const ByteView block = rest.first(size);
    rest = rest.subspan(size);
    if (header_only) return Result<FrameBlock>(FrameBlock{}, rest);

    const LentTextBuffer text = decompress_frame_block(block);
    return Result<FrameBlock>(decode_text(text.view(), mode), rest);
}

FrameBlock decode_frame_block(ByteView block, GameMode mode) {
    const LentTextBuffer text = decompress_frame_block(block);
    return decode_text(text.view(), mode);
}

ReplayDataContainer decode_frames_for_mode(std::string_view text, GameMode mode) {
    return decode_text(text, mode).data;
}

}  // namespace kz
