// A header-only decode that reads only the parts of a file the header needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <variant>

#include "failure/decode_failure.hpp"
#include "common/memory.hpp"
#include "files/file_limits.hpp"
#include "files/byte_buffer.hpp"
#include "replay/replay_record.hpp"

namespace kz {

// Bytes of a file by offset. read_at may stop (with the file error's text).
class ByteSource {
public:
    virtual ~ByteSource() = default;
    // The size the source had when reading began.
    virtual std::uint64_t size() const = 0;
    // Up to `room` bytes at `offset`; fewer only where the source ends.
    virtual std::size_t read_at(std::uint64_t offset, std::uint8_t* into, std::size_t room) const = 0;
};

// The record, or the failure of the decode error that ended it.
using DecodeOutcome = std::variant<Replay, DecodeFailure>;

// The same outcome, stops and failures included, as parse_replay with
// header_only of the whole source in memory, reading only: the header fields
// (the strings and the life-bar text with them), the block's length, the
// online id after the block, and of a rest that a failure quotes just the
// bytes its text shows. `first_read` is the size of the first read from the
// start. The one difference: a header that alone would hold more than
// kMaxFileBytes stops with the file-too-large error.
DecodeOutcome decode_header_only(const ByteSource& source, std::size_t first_read = std::size_t{64} << 10);

}  // namespace kz
