// The legacy LZMA decoder of a frame block: its set-up, its limits and what
// each round of decoding says about the text. Shared by the whole-text
// decompression and the decode in windows, which must end every stream alike.
#pragma once

#include <lzma.h>

#include <cstddef>
#include <cstdint>
#include <optional>

#include "common/byte_view.hpp"
#include "failure/decode_failure.hpp"

namespace kz {

// The longest frame text a block may expand to; a longer one stops the call
// instead of exhausting memory.
inline constexpr std::size_t kMaxFrameTextBytes = std::size_t{256} << 20;

// Owns one decoder, reading `block`; lzma_end runs on every path, stops
// included. Stops (Lzma) when the decoder cannot be set up.
class AloneDecoder {
public:
    explicit AloneDecoder(ByteView block);
    AloneDecoder(const AloneDecoder&) = delete;
    AloneDecoder& operator=(const AloneDecoder&) = delete;
    ~AloneDecoder() { lzma_end(&stream_); }

    // The text length the stream header declares, when it declares one.
    std::optional<std::uint64_t> declared() const noexcept { return declared_; }
    // How many bytes of the block the decoder has taken.
    std::uint64_t block_bytes_read() const noexcept { return stream_.total_in; }

    // Decodes into [out, out + room) and says how many bytes it wrote.
    lzma_ret decode(std::uint8_t* out, std::size_t room, std::size_t& written) noexcept;

private:
    lzma_stream stream_{};  // all-zero is liblzma's documented initial state
    std::optional<std::uint64_t> declared_;
};

// What one round of decoding means for the text.
enum class DecodeRound : std::uint8_t { More, Ended, Failed };

// `ret` is the round's return, `room_left` the output room it left unused and
// `text_bytes` the text decoded so far. A stream cut short ends the text
// decoded so far; a length declared in the stream header ends the text; bytes
// after the end of the stream are ignored.
DecodeRound decode_round(lzma_ret ret, std::size_t room_left, std::optional<std::uint64_t> declared,
                         std::uint64_t text_bytes) noexcept;

// The failure of a frame block: `cause` with its number.
DecodeFailure block_failure(FailureCause cause, std::uint64_t value);
[[noreturn]] void stop_lzma(lzma_ret ret);
[[noreturn]] void stop_text_too_long();

}  // namespace kz
