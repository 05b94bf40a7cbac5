#include "block_alone/block_decode.hpp"

#include <charconv>

#include "bulk/decode_outcome.hpp"
#include "failure/stop.hpp"
#include "layout/replay_layout.hpp"
#include "text/base64.hpp"

namespace kz {

BlockOutcome decode_block_outcome(ByteView block, GameMode mode) noexcept {
    return decode_bytes_as<FrameBlock>(block, [mode](ByteView bytes) {
        try {
            return decode_frame_block(bytes, mode);
        } catch (Stop& stopped) {
            // Named as a file's frame block, so that a failure reads as that
            // part of a file's failure would; offsets count from the block.
            stopped.failure().place(static_cast<std::uint8_t>(layout::kFrameBlockIndex), 0);
            throw;
        }
    });
}

BlockOutcome decode_base64_block_outcome(std::string_view text, GameMode mode) noexcept {
    Vec<std::uint8_t> bytes;
    try {
        if (const std::optional<Base64Error> error = decode_base64(text, bytes)) {
            Failure failure;
            failure.kind = FailureKind::Decode;
            failure.message = "the base64 text is not valid at offset ";
            // Every character before the first bad one is ASCII, so the byte
            // offset is the character offset of a str too.
            char digits[24];
            const auto end = std::to_chars(digits, digits + sizeof digits, error->offset).ptr;
            failure.message.append(digits, static_cast<std::size_t>(end - digits));
            failure.message += ": ";
            failure.message += error->reason;
            failure.detail = failure.message;
            return failure;
        }
    } catch (...) {
        return failure_of_current_exception();
    }
    return decode_block_outcome(ByteView(bytes.data(), bytes.size()), mode);
}

}  // namespace kz
