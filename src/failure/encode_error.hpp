// What stops a replay from being written, as a value: the kind, the field or
// frame it concerns, and the numbers a message needs. Messages are rendered
// from it (describe), never parsed back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/memory.hpp"

namespace kz {

enum class EncodeErrorKind : std::uint8_t {
    UnknownMode,      // the replay's mode is none of the four play modes
    MissingFrames,    // no frame list of the replay's own mode (a header-only decode)
    OtherModeFrames,  // a frame list of another mode beside the mode's own
    NoFrames,         // neither a frame nor a seed: the reader needs one item
    TooManyFrames,    // more than the reader's frame cap, the seed frame counted
    TextTooLong,      // the frame text passes the reader's 256 MiB
    BlockTooLong,     // the compressed block passes the block length's 2^31 - 1
    FileTooLarge,     // the whole file passes the reader's 4 GiB
    InvalidUtf8,      // a header string that is not strict UTF-8
    ValueOutOfRange,  // a column value that does not fit its field
    Compression,      // liblzma refused (value: its return code)
    Interrupted,      // the caller asked to stop (a signal)
};

struct EncodeError {
    EncodeErrorKind kind = EncodeErrorKind::Compression;
    std::string_view field;   // the header field or frame field concerned, static storage
    std::size_t index = 0;    // the frame index (ValueOutOfRange)
    std::uint64_t value = 0;  // a count, a limit, an lzma_ret, or 1 for a field of doubles
};

// One line for a person: what is wrong, and with which field or frame.
String describe(const EncodeError& error);

}  // namespace kz
