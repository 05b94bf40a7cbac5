// The legacy LZMA decoder of a frame block: set-up, limits, and the meaning of each round.
#include "readers/alone_decoder.hpp"

#include <bit>
#include <cstring>
#include <limits>

#include "common/lzma_allocator.hpp"
#include "failure/stop.hpp"
#include "failure/failure_text.hpp"

namespace kz {
namespace {

// liblzma charges the declared dictionary plus its own overhead against this.
constexpr std::uint64_t kDecoderMemLimit = 5 * 1024 * 1024;
// The overhead the limit was set against: dictionaries up to 5,177,480 bytes
// pass.
constexpr std::uint64_t kReferenceDecoderOverhead = 65400;
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

std::optional<std::uint64_t> declared_text_size(ByteView block) noexcept {
    if (block.size() < kAloneHeaderBytes) return std::nullopt;
    std::uint64_t declared;
    std::memcpy(&declared, block.data() + kDeclaredSizeOffset, sizeof declared);
    if constexpr (std::endian::native == std::endian::big) declared = __builtin_bswap64(declared);
    if (declared == std::numeric_limits<std::uint64_t>::max()) return std::nullopt;  // "unknown"
    return declared;
}

}  // namespace

AloneDecoder::AloneDecoder(ByteView block) : declared_(declared_text_size(block)) {
    stream_.allocator = &kLzmaAllocator;
    if (const lzma_ret ret = lzma_alone_decoder(&stream_, decoder_memlimit()); ret != LZMA_OK) {
        lzma_end(&stream_);
        stop_lzma(ret);  // set-up, before any text: nothing to keep
    }
    stream_.next_in = block.data();
    stream_.avail_in = block.size();
}

lzma_ret AloneDecoder::decode(std::uint8_t* out, std::size_t room, std::size_t& written) noexcept {
    stream_.next_out = out;
    stream_.avail_out = room;
    const lzma_ret ret = lzma_code(&stream_, LZMA_RUN);
    written = room - stream_.avail_out;
    return ret;
}

DecodeRound decode_round(lzma_ret ret, std::size_t room_left, std::optional<std::uint64_t> declared,
                         std::uint64_t text_bytes) noexcept {
    switch (ret) {
        case LZMA_OK:
        case LZMA_GET_CHECK:
            // Room left over means the decoder used up the block: a stream
            // cut short inside it ends with what was decoded so far.
            return room_left != 0 ? DecodeRound::Ended : DecodeRound::More;
        case LZMA_STREAM_END:  // bytes after the end of the stream are ignored
        case LZMA_BUF_ERROR:   // no further progress possible
            return DecodeRound::Ended;
        case LZMA_DATA_ERROR:
            // A declared length ends the text. Newer liblzma goes on to
            // demand an end marker right there and calls anything else
            // corrupt; the text is complete all the same, and what follows
            // it is ignored like bytes after the end of the stream.
            return declared && text_bytes == *declared ? DecodeRound::Ended : DecodeRound::Failed;
        default: return DecodeRound::Failed;
    }
}

DecodeFailure block_failure(FailureCause cause, std::uint64_t value) {
    DecodeFailure failure;
    failure.cause = cause;
    failure.value = value;
    return failure;
}

void stop_lzma(lzma_ret ret) { stop_decode(block_failure(FailureCause::Lzma, static_cast<std::uint64_t>(ret))); }

void stop_text_too_long() { stop_decode(block_failure(FailureCause::TextTooLong, kMaxFrameTextBytes)); }

}  // namespace kz
