// Reading a replay file from disk and decoding it, without the interpreter.
#pragma once

#include <variant>

#include "common/memory.hpp"
#include "parser/decode_result.hpp"
#include "replay/replay_record.hpp"

namespace kz {

// An operating-system error from reading a file.
struct OsError {
    int code = 0;  // errno
};

// "Os { code: 2, kind: NotFound, message: \"No such file or directory\" }".
String describe(const OsError& error);

// The whole file in one buffer sized to the file, or the error.
std::variant<Bytes, OsError> read_whole_file(const char* path);

// parse_replay with Little byte order; a decode error becomes the
// "called `Result::unwrap()` on an `Err` value: ..." stop.
Replay decode_replay(ByteView data, bool header_only);

// Reads and decodes; a read error becomes the unwrap stop with its text form.
Replay decode_replay_file(const char* path, bool header_only);

}  // namespace kz
