#include "failure/file_error.hpp"

#include <cerrno>
#include <charconv>
#include <cstring>

#include "debug_text/debug_text.hpp"

namespace kz {
namespace {

// The system's category names for the errors that opening and reading a
// file can give; everything else is Uncategorized.
std::string_view error_kind_name(int code) noexcept {
    switch (code) {
        case ENOENT: return "NotFound";
        case EACCES:
        case EPERM: return "PermissionDenied";
        case EISDIR: return "IsADirectory";
        case ENOTDIR: return "NotADirectory";
        case ENAMETOOLONG: return "InvalidFilename";
        case ELOOP: return "FilesystemLoop";
        case ENOMEM: return "OutOfMemory";
        case EINTR: return "Interrupted";
        case EINVAL: return "InvalidInput";
        case EAGAIN: return "WouldBlock";
        case EFBIG: return "FileTooLarge";
        case ETXTBSY: return "ExecutableFileBusy";
        case EBUSY: return "ResourceBusy";
        case ESTALE: return "StaleNetworkFileHandle";
        default: return "Uncategorized";
    }
}

// strerror_r comes in two shapes depending on the C library's feature
// macros; one overload per shape picks the text out of either.
[[maybe_unused]] const char* strerror_text(int result, const char* buffer) noexcept {
    return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* strerror_text(const char* result, const char*) noexcept { return result; }

}  // namespace

String system_error_text(int code) {
    char buffer[256];
    return String(strerror_text(::strerror_r(code, buffer, sizeof buffer), buffer));
}

String describe(const FileError& error) {
    return std::visit([](const auto& reason) { return describe(reason); }, error);
}

String describe(const OsError& error) {
    char message[256];
    const char* text = strerror_text(::strerror_r(error.code, message, sizeof message), message);
    char digits[16];
    const auto end = std::to_chars(digits, digits + sizeof digits, error.code).ptr;
    String out = "Os { code: ";
    out.append(digits, end);
    out += ", kind: ";
    out += error_kind_name(error.code);
    out += ", message: ";
    append_debug_text(out, text);
    out += " }";
    return out;
}

String describe(const FileRefusal& refusal) {
    String out = "Error { kind: ";
    out += refusal.kind;
    out += ", message: ";
    append_debug_text(out, refusal.message);
    out += " }";
    return out;
}

}  // namespace kz
