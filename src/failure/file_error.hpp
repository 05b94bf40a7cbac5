// Why a file could not be read, as a value, and its texts: what the
// system said (an errno) or why the reader refuses a file the system would
// read.
#pragma once

#include <string_view>
#include <variant>

#include "common/memory.hpp"

namespace kz {

// An operating-system error from reading a file.
struct OsError {
    int code = 0;  // errno
};

// "Os { code: 2, kind: NotFound, message: \"No such file or directory\" }".
String describe(const OsError& error);

// A file the reader will not read, though the system would.
struct FileRefusal {
    std::string_view kind;
    std::string_view message;
};

// "Error { kind: InvalidInput, message: \"not a regular file\" }".
String describe(const FileRefusal& refusal);

using FileError = std::variant<OsError, FileRefusal>;

// The text the file error shows after the unwrap prefix.
String describe(const FileError& error);

// The system's text for an errno: "No such file or directory".
String system_error_text(int code);

}  // namespace kz
