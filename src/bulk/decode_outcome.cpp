// One file's outcome: the same reading and decoding as the single-file
// function, with its stops caught, kept off standard error and described.
#include "bulk/decode_outcome.hpp"

#include <cerrno>
#include <cstring>
#include <new>

#include "bulk/failure_report.hpp"
#include "failure/file_error.hpp"
#include "failure/stop.hpp"
#include "files/path_check.hpp"
#include "files/replay_file.hpp"

namespace kz {
namespace {

Failure file_failure(int code, std::string_view stop_message, std::string_view what) {
    Failure failure;
    failure.kind = FailureKind::File;
    failure.error_number = code;
    failure.message = what;
    failure.detail = bounded_detail(stop_message);
    return failure;
}

Failure failure_without_stop(std::string_view message) {
    Failure failure;
    failure.kind = FailureKind::Limit;
    failure.message = message;
    failure.detail = message;
    return failure;
}

}  // namespace

Failure failure_of_current_exception() noexcept {
    try {
        try {
            throw;
        } catch (const Stop& stop) {
            if (stop.failure().is_decode()) return describe_failure(stop.failure());
            Failure failure;
            failure.message = describe_other_stop(stop.failure(), stop.message());
            failure.detail = bounded_detail(stop.message());
            return failure;
        } catch (const std::bad_alloc&) {
            return failure_without_stop("memory allocation failed");
        } catch (...) {
            return failure_without_stop("native code failed without a message");
        }
    } catch (...) {
        // No memory even for the message.
    }
    Failure failure;
    failure.kind = FailureKind::Limit;
    return failure;
}

namespace {

// A file error as the failure of its file: the errno of a system error, and
// for a file the reader refuses the nearest one (a pipe or device is no
// valid input, an oversized file too big).
Failure failure_of_file_error(const FileError& error) {
    String stop_message(kUnwrapErrPrefix);
    stop_message += describe(error);
    String what = "cannot read the file: ";
    if (const OsError* os = std::get_if<OsError>(&error)) {
        what += system_error_text(os->code);
        return file_failure(os->code, stop_message, what);
    }
    const FileRefusal& refusal = std::get<FileRefusal>(error);
    what += refusal.message;
    return file_failure(refusal.kind == "FileTooLarge" ? EFBIG : EINVAL, stop_message, what);
}

std::optional<Failure> nul_in_path(const String& path) {
    if (std::memchr(path.data(), '\0', path.size()) == nullptr) return std::nullopt;
    try {
        QuietStops quiet;
        check_path(path);
    } catch (const Stop& stop) {
        return file_failure(EINVAL, stop.message(), "the file name contains a NUL byte");
    }
    return std::nullopt;
}

}  // namespace

std::variant<ByteBuffer, Failure> read_file_or_failure(const String& path) noexcept {
    try {
        if (auto failure = nul_in_path(path)) return std::move(*failure);
        auto read = read_whole_file(path.c_str());
        if (const OsError* error = std::get_if<OsError>(&read)) return failure_of_file_error(*error);
        if (const FileRefusal* refusal = std::get_if<FileRefusal>(&read)) return failure_of_file_error(*refusal);
        return std::move(std::get<ByteBuffer>(read));
    } catch (...) {
        return failure_of_current_exception();
    }
}

Outcome decode_bytes_outcome(ByteView contents, bool header_only) noexcept {
    return decode_bytes_as<Replay>(contents,
                                   [header_only](ByteView bytes) { return decode_replay(bytes, header_only); });
}

Outcome decode_file_outcome(const String& path, bool header_only) noexcept {
    if (!header_only) {
        return decode_file_as<Replay>(path, [](ByteView bytes) { return decode_replay(bytes, false); });
    }
    // A header-only decode reads just the header's parts of the file.
    try {
        if (auto failure = nul_in_path(path)) return std::move(*failure);
        QuietStops quiet;
        auto decoded = decode_replay_file_or_error(path.c_str(), true);
        if (FileError* error = std::get_if<FileError>(&decoded)) return failure_of_file_error(*error);
        return std::move(std::get<Replay>(decoded));
    } catch (...) {
        return failure_of_current_exception();
    }
}

namespace {

template <class Frame>
std::size_t frames_bytes(const std::optional<SharedFrames<Frame>>& frames) noexcept {
    return frames ? frames->frames().capacity() * sizeof(Frame) : 0;
}

}  // namespace

std::size_t outcome_bytes(const Outcome& outcome) noexcept {
    const Replay* replay = std::get_if<Replay>(&outcome);
    if (replay == nullptr) return sizeof(Failure) + std::get<Failure>(outcome).detail.size();
    const ReplayDataContainer& data = replay->replay_data;
    std::size_t total = sizeof(Replay) + frames_bytes(data.kivo_replay_data) + frames_bytes(data.taiko_replay_data) +
                        frames_bytes(data.catch_replay_data) + frames_bytes(data.mania_replay_data);
    if (replay->life_bar_graph) total += replay->life_bar_graph->capacity() * sizeof(LifeBarState);
    return total;
}

}  // namespace kz
