// The frame text compressed as the reader's block: legacy LZMA ("lzma-alone",
// liblzma's lzma_alone_encoder), appended to an output buffer as it is made.
#pragma once

#include <cstdint>
#include <optional>
#include <variant>

#include <lzma.h>

#include "common/memory.hpp"
#include "writer/frame_text_writer.hpp"

namespace kz {

// The default effort of liblzma (the preset the bench corpus and most
// tools use) with a 2 MiB dictionary: a whole real play fits it, and it is
// far below the reader's decoder memory limit (dictionaries up to about
// 5 MiB). The header does not declare the text's size: the encoder streams
// the text and ends it with an end marker, as Python's
// lzma.compress(..., format=FORMAT_ALONE) does.
inline constexpr std::uint32_t kWriterPreset = 6;
inline constexpr std::uint32_t kWriterDictionaryBytes = 1u << 21;

// Asked between chunks whether to go on: the caller's way to stop a long
// compression (a pending Ctrl-C) without the compressor knowing why.
class StopCheck {
public:
    virtual bool stop_requested() = 0;

protected:
    ~StopCheck() = default;
};

// A sink that compresses what it takes and appends the compressed bytes to
// `out`. liblzma's memory goes through the module's allocator.
class AloneCompressor final : public TextSink {
public:
    AloneCompressor(Bytes& out, StopCheck* stop) noexcept;
    ~AloneCompressor();
    AloneCompressor(const AloneCompressor&) = delete;
    AloneCompressor& operator=(const AloneCompressor&) = delete;

    // Sets the encoder up; must succeed before take().
    std::optional<EncodeError> start();
    std::optional<EncodeError> take(std::string_view chunk) override;
    // Ends the stream (the end marker); the output is then complete.
    std::optional<EncodeError> finish();

private:
    std::optional<EncodeError> run(lzma_action action);

    Bytes& out_;
    StopCheck* stop_;
    lzma_stream stream_{};
    std::size_t since_check_ = 0;
};

// The compressed block of `frames` (and the seed item) alone.
std::variant<Bytes, EncodeError> frame_block_bytes(const FrameSource& frames, std::optional<std::int32_t> seed,
                                                   StopCheck* stop);

}  // namespace kz
