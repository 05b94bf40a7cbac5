// Reading a replay file from disk and decoding it.
#include "files/replay_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <string_view>
#include <utility>

#include "debug_text/debug_text.hpp"
#include "files/file_limits.hpp"
#include "files/header_read.hpp"
#include "failure/stop.hpp"
#include "failure/failure_text.hpp"
#include "replay_decode/replay_parser.hpp"

namespace kz {
namespace {

// Closes the descriptor on every path out of the read.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    FileDescriptor& operator=(FileDescriptor&&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const noexcept { return fd_; }

private:
    int fd_;
};

constexpr FileRefusal kNotRegular{"InvalidInput", "not a regular file"};
constexpr FileRefusal kTooLarge{"FileTooLarge", "file exceeds 4294967296 bytes"};
static_assert(kMaxFileBytes == 4294967296);

// Room of the first read when the size is unknown (special files of /proc
// report 0).
constexpr std::size_t kUnknownSizeRead = 64 * 1024;

[[noreturn]] void stop_file_error(const FileError& error) { stop_unwrap_err(describe(error)); }

// An open regular file and its size when opened (0 may mean unknown).
struct OpenFile {
    FileDescriptor fd;
    std::uint64_t size;
};

// Opening never waits: a pipe without a writer would block open(2) and then
// read(2) forever. Only a regular file is read; a directory keeps the
// IsADirectory error its first read would give.
std::variant<OpenFile, FileError> open_regular_file(const char* path) {
    int raw_fd;
    do {
        raw_fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (raw_fd < 0 && errno == EINTR);
    if (raw_fd < 0) return OsError{errno};
    FileDescriptor fd(raw_fd);
    struct stat info;
    if (::fstat(fd.get(), &info) != 0) return OsError{errno};
    if (S_ISDIR(info.st_mode)) return OsError{EISDIR};
    if (!S_ISREG(info.st_mode)) return kNotRegular;
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return OsError{errno};
    return OpenFile{std::move(fd), info.st_size > 0 ? static_cast<std::uint64_t>(info.st_size) : 0};
}

// One read(2), repeated while a signal interrupts it: the byte count, or -1 with errno set.
ssize_t read_some(int fd, std::uint8_t* into, std::size_t room) noexcept {
    for (;;) {
        const ssize_t n = ::read(fd, into, room);
        if (n >= 0 || errno != EINTR) return n;
    }
}

// The file to its end. The size is only a hint: the file may grow or shrink
// while it is read, and special files report 0. The buffer is never
// zero-filled: every byte kept is one the read wrote.
std::variant<ByteBuffer, FileError> read_to_end(const OpenFile& file) {
    if (file.size > kMaxFileBytes) return kTooLarge;
    // One byte more than the size tells the end of an unchanged file without
    // growing the buffer.
    ByteBuffer buffer(file.size > 0 ? static_cast<std::size_t>(file.size) + 1 : kUnknownSizeRead);
    for (;;) {
        if (buffer.spare() == 0) {
            if (buffer.size() > kMaxFileBytes) return kTooLarge;
            buffer.reserve(static_cast<std::size_t>(
                std::min<std::uint64_t>(std::uint64_t{buffer.capacity()} * 2, kMaxFileBytes + 1)));
        }
        const ssize_t n = read_some(file.fd.get(), buffer.end(), buffer.spare());
        if (n < 0) return OsError{errno};
        if (n == 0) break;
        buffer.commit(static_cast<std::size_t>(n));
    }
    if (buffer.size() > kMaxFileBytes) return kTooLarge;
    return buffer;
}

// pread(2) of an open file for the header-only read.
class FileSource final : public ByteSource {
public:
    explicit FileSource(const OpenFile& file) noexcept : file_(file) {}
    std::uint64_t size() const override { return file_.size; }
    std::size_t read_at(std::uint64_t offset, std::uint8_t* into, std::size_t room) const override {
        std::size_t got = 0;
        while (got < room) {
            const ssize_t n = ::pread(file_.fd.get(), into + got, room - got, static_cast<off_t>(offset + got));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) stop_unwrap_err(describe(OsError{errno}));
            if (n == 0) break;
            got += static_cast<std::size_t>(n);
        }
        return got;
    }

private:
    const OpenFile& file_;
};

}  // namespace

void stop_file_too_large() { stop_unwrap_err(describe(kTooLarge)); }

std::variant<ByteBuffer, OsError, FileRefusal> read_whole_file(const char* path) {
    auto opened = open_regular_file(path);
    if (auto* error = std::get_if<FileError>(&opened)) {
        return std::visit([](const auto& reason) -> std::variant<ByteBuffer, OsError, FileRefusal> { return reason; },
                          *error);
    }
    auto read = read_to_end(std::get<OpenFile>(opened));
    if (auto* error = std::get_if<FileError>(&read)) {
        return std::visit([](const auto& reason) -> std::variant<ByteBuffer, OsError, FileRefusal> { return reason; },
                          *error);
    }
    return std::move(std::get<ByteBuffer>(read));
}

Replay decode_replay(ByteView data, bool header_only) {
    auto result = parse_replay(data, ByteOrder::Little, header_only);
    if (!result) stop_decode(failure_of(result.error(), data.data(), data.size()));
    return std::move(result.value());
}

std::variant<Replay, FileError> decode_replay_file_or_error(const char* path, bool header_only) {
    auto opened = open_regular_file(path);
    if (FileError* error = std::get_if<FileError>(&opened)) return std::move(*error);
    const OpenFile& file = std::get<OpenFile>(opened);
    if (header_only && file.size > 0) {
        DecodeOutcome outcome = decode_header_only(FileSource(file), std::size_t{64} << 10);
        if (DecodeFailure* failure = std::get_if<DecodeFailure>(&outcome)) stop_decode(std::move(*failure));
        return std::move(std::get<Replay>(outcome));
    }
    auto read = read_to_end(file);
    if (FileError* error = std::get_if<FileError>(&read)) return std::move(*error);
    const ByteBuffer& bytes = std::get<ByteBuffer>(read);
    return decode_replay(ByteView(bytes.data(), bytes.size()), header_only);
}

Replay decode_replay_file(const char* path, bool header_only) {
    auto decoded = decode_replay_file_or_error(path, header_only);
    if (const FileError* error = std::get_if<FileError>(&decoded)) stop_file_error(*error);
    return std::move(std::get<Replay>(decoded));
}

}  // namespace kz
