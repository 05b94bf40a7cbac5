// The stop path: the diagnostic line on standard error, then the exception.
#include "failure/stop.hpp"

#include <execinfo.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "common/thread_name.hpp"

namespace kz {
namespace {

// Set by the first diagnostic of the process: the backtrace hint is printed once.
std::atomic<bool> hint_printed{false};

thread_local bool stops_quiet = false;

constexpr std::string_view kBacktraceVariable = "KADENZO_BACKTRACE";

bool backtrace_requested() {
    const char* value = std::getenv(kBacktraceVariable.data());
    return value != nullptr && value[0] != '\0' && std::strcmp(value, "0") != 0;
}

// Source paths are shown from the project's src/ folder on, not as the
// absolute path of the machine that built the module.
std::string_view project_relative(const char* path) {
    std::string_view view(path);
    const auto at = view.rfind("/src/");
    return at == std::string_view::npos ? view : view.substr(at + 1);
}

template <class Number>
void append_number(String& out, Number value) {
    char digits[24];  // the widest 64-bit number has 20 digits
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
}

void write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written <= 0) return;  // nowhere to report a failing stderr
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}

// One line per stop, written in one piece so that lines from worker threads
// do not interleave.
void write_diagnostic(std::string_view message, const std::source_location& where) {
    String line;
    line.reserve(message.size() + 128);
    line += "thread '";
    line += current_thread_name();
    line += "' stopped with '";
    line += message;
    line += "' at ";
    line += project_relative(where.file_name());
    line += ':';
    append_number(line, where.line());
    line += ':';
    append_number(line, where.column());
    line += '\n';
    const bool with_backtrace = backtrace_requested();
    if (!with_backtrace && !hint_printed.exchange(true)) {
        line += "note: set the environment variable KADENZO_BACKTRACE=1 to print a stack trace with each stop\n";
    }
    write_all(STDERR_FILENO, line);
    if (with_backtrace) {
        void* frames[64];
        const int count = ::backtrace(frames, 64);
        ::backtrace_symbols_fd(frames, count, STDERR_FILENO);
    }
}

}  // namespace

QuietStops::QuietStops() noexcept : was_quiet_(std::exchange(stops_quiet, true)) {}

QuietStops::~QuietStops() { stops_quiet = was_quiet_; }

void stop(std::string_view message, std::source_location where) {
    if (!stops_quiet) write_diagnostic(message, where);
    throw Stop(String(message), where);
}

void stop(std::string_view message, DecodeFailure failure, std::source_location where) {
    if (!stops_quiet) write_diagnostic(message, where);
    throw Stop(String(message), std::move(failure), where);
}

void stop_unwrap_err(std::string_view error_debug_text, std::source_location where) {
    String message(kUnwrapErrPrefix);
    message += error_debug_text;
    stop(message, where);
}

void stop_try_from_int(std::source_location where) { stop_unwrap_err("TryFromIntError(())", where); }

}  // namespace kz
