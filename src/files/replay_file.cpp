// Reading a replay file from disk and decoding it, with the text form of a file error.
#include "files/replay_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <string_view>

#include "debug_text/debug_text.hpp"
#include "common/stop.hpp"
#include "parser/replay_parser.hpp"

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

// Closes the descriptor on every path out of the read.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { ::close(fd_); }
    int get() const noexcept { return fd_; }

private:
    int fd_;
};

// One read(2), repeated while a signal interrupts it: the byte count, or -1 with errno set.
ssize_t read_some(int fd, std::uint8_t* into, std::size_t room) noexcept {
    for (;;) {
        const ssize_t n = ::read(fd, into, room);
        if (n >= 0 || errno != EINTR) return n;
    }
}

}  // namespace

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

std::variant<Bytes, OsError> read_whole_file(const char* path) {
    int raw_fd;
    do {
        raw_fd = ::open(path, O_RDONLY | O_CLOEXEC);
    } while (raw_fd < 0 && errno == EINTR);
    if (raw_fd < 0) return OsError{errno};
    const FileDescriptor fd(raw_fd);

    // The size is only a hint: the file may grow or shrink while it is read,
    // and special files report 0. A failing fstat just means no hint.
    struct stat info;
    std::size_t expected = 0;
    if (::fstat(fd.get(), &info) == 0 && info.st_size > 0) expected = static_cast<std::size_t>(info.st_size);
    Bytes buffer(expected);

    std::size_t filled = 0;
    for (;;) {
        if (filled == buffer.size()) {
            // A small probe tells the end of a file of exactly the expected
            // size without growing the buffer; a directory fails here with EISDIR.
            std::uint8_t probe[64];
            const ssize_t n = read_some(fd.get(), probe, sizeof probe);
            if (n < 0) return OsError{errno};
            if (n == 0) break;
            buffer.resize(std::max(buffer.size() * 2, filled + 8192));
            std::memcpy(buffer.data() + filled, probe, static_cast<std::size_t>(n));
            filled += static_cast<std::size_t>(n);
            continue;
        }
        const ssize_t n = read_some(fd.get(), buffer.data() + filled, buffer.size() - filled);
        if (n < 0) return OsError{errno};
        if (n == 0) break;
        filled += static_cast<std::size_t>(n);
    }
    buffer.resize(filled);
    return buffer;
}

Replay decode_replay(ByteView data, bool header_only) {
    auto result = parse_replay(data, ByteOrder::Little, header_only);
    if (!result) stop_unwrap_err(describe(result.error()));
    return std::move(result.value());
}

Replay decode_replay_file(const char* path, bool header_only) {
    auto read = read_whole_file(path);
    if (const OsError* error = std::get_if<OsError>(&read)) stop_unwrap_err(describe(*error));
    const Bytes& bytes = std::get<Bytes>(read);
    return decode_replay(ByteView(bytes.data(), bytes.size()), header_only);
}

}  // namespace kz
