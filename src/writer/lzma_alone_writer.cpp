// The legacy LZMA compressor of frame texts over liblzma.
#include "writer/lzma_alone_writer.hpp"

#include <limits>

#include "common/lzma_allocator.hpp"
#include "layout/replay_layout.hpp"

namespace kz {
namespace {

// The stop check runs after this much text: often enough that Ctrl-C acts
// within a fraction of a second, rarely enough to cost nothing.
constexpr std::size_t kTextBetweenChecks = 512 * 1024;
// Output room added whenever the encoder has filled what it had.
constexpr std::size_t kOutputStep = 64 * 1024;

EncodeError liblzma_error(lzma_ret ret) noexcept {
    return EncodeError{EncodeErrorKind::Compression, layout::kFrameBlockName, 0, static_cast<std::uint64_t>(ret)};
}

}  // namespace

AloneCompressor::AloneCompressor(Bytes& out, StopCheck* stop) noexcept : out_(out), stop_(stop) {
    stream_.allocator = &kLzmaAllocator;
}

AloneCompressor::~AloneCompressor() { lzma_end(&stream_); }

std::optional<EncodeError> AloneCompressor::start() {
    lzma_options_lzma options;
    if (lzma_lzma_preset(&options, kWriterPreset)) return liblzma_error(LZMA_OPTIONS_ERROR);
    options.dict_size = kWriterDictionaryBytes;
    if (const lzma_ret ret = lzma_alone_encoder(&stream_, &options); ret != LZMA_OK) return liblzma_error(ret);
    return std::nullopt;
}

std::optional<EncodeError> AloneCompressor::run(lzma_action action) {
    for (;;) {
        const std::size_t used = out_.size();
        out_.resize(used + kOutputStep);
        stream_.next_out = out_.data() + used;
        stream_.avail_out = kOutputStep;
        const lzma_ret ret = lzma_code(&stream_, action);
        out_.resize(out_.size() - stream_.avail_out);
        if (ret == LZMA_STREAM_END) return std::nullopt;
        if (ret != LZMA_OK) return liblzma_error(ret);
        // The encoder stopped with room to spare: it has taken all the input.
        if (action == LZMA_RUN && stream_.avail_out != 0 && stream_.avail_in == 0) return std::nullopt;
    }
}

std::optional<EncodeError> AloneCompressor::take(std::string_view chunk) {
    stream_.next_in = reinterpret_cast<const std::uint8_t*>(chunk.data());
    stream_.avail_in = chunk.size();
    if (auto error = run(LZMA_RUN)) return error;
    since_check_ += chunk.size();
    if (since_check_ >= kTextBetweenChecks) {
        since_check_ = 0;
        if (stop_ != nullptr && stop_->stop_requested()) {
            return EncodeError{EncodeErrorKind::Interrupted, layout::kFrameBlockName, 0, 0};
        }
    }
    return std::nullopt;
}

std::optional<EncodeError> AloneCompressor::finish() {
    stream_.next_in = nullptr;
    stream_.avail_in = 0;
    return run(LZMA_FINISH);
}

std::variant<Bytes, EncodeError> frame_block_bytes(const FrameSource& frames, std::optional<std::int32_t> seed,
                                                   StopCheck* stop) {
    Bytes block;
    AloneCompressor compressor(block, stop);
    if (auto error = compressor.start()) return *error;
    if (auto error = write_frame_text(frames, seed, compressor)) return *error;
    if (auto error = compressor.finish()) return *error;
    return block;
}

}  // namespace kz
