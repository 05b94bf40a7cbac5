// Reading a replay file from disk and decoding it, without the interpreter.
#pragma once

#include <string_view>
#include <variant>

#include "common/memory.hpp"
#include "files/byte_buffer.hpp"
#include "failure/decode_result.hpp"
#include "failure/file_error.hpp"
#include "replay/replay_record.hpp"

namespace kz {

// The whole file in one buffer, or why it was not read: an operating-system
// error (a directory gives EISDIR), or a refusal of anything that is not a
// regular file (a pipe, a device: they may never end) and of a file larger
// than kMaxFileBytes.
std::variant<ByteBuffer, OsError, FileRefusal> read_whole_file(const char* path);

// parse_replay with Little byte order; a decode error becomes the
// "called `Result::unwrap()` on an `Err` value: ..." stop.
Replay decode_replay(ByteView data, bool header_only);

// Reads and decodes, with file errors as values; decode errors stop. With
// header_only only the parts the header needs are read.
std::variant<Replay, FileError> decode_replay_file_or_error(const char* path, bool header_only);

// Reads and decodes; a file error becomes the unwrap stop with its text form.
// With header_only only the parts the header needs are read.
Replay decode_replay_file(const char* path, bool header_only);

}  // namespace kz
