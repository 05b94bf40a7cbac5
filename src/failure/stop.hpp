// A stop: the one way native code ends a call that cannot go on (a fault in
// the input, or a decode error where the caller needs success).
#pragma once

#include <exception>
#include <source_location>
#include <string_view>

#include "failure/decode_failure.hpp"
#include "common/memory.hpp"

namespace kz {

// Carries the message that reaches Python as PanicException, where the stop
// happened, and for a decode failure what went wrong and where in the input
// (the message is rendered from it). Only the Python boundary, the batch
// workers (which hand the stop to the calling thread), the per-file results
// of bulk decoding and the readers that name the field being read (which add
// it to the failure and rethrow) catch it.
class Stop final : public std::exception {
public:
    Stop(String message, std::source_location where) noexcept : message_(std::move(message)), where_(where) {}
    Stop(String message, DecodeFailure failure, std::source_location where) noexcept
        : message_(std::move(message)), failure_(std::move(failure)), where_(where) {}

    const char* what() const noexcept override { return message_.c_str(); }
    const String& message() const noexcept { return message_; }
    const DecodeFailure& failure() const noexcept { return failure_; }
    DecodeFailure& failure() noexcept { return failure_; }
    const std::source_location& where() const noexcept { return where_; }

private:
    String message_;
    DecodeFailure failure_;
    std::source_location where_;
};

// While one of these lives on a thread, stops on that thread write no
// diagnostic line: callers that hand failures back as values (the per-file
// results of bulk decoding) report them themselves. Nests.
class QuietStops {
public:
    QuietStops() noexcept;
    ~QuietStops();
    QuietStops(const QuietStops&) = delete;
    QuietStops& operator=(const QuietStops&) = delete;

private:
    bool was_quiet_;
};

// Writes the one diagnostic line to standard error (unless stops are quiet
// on this thread) and throws the stop.
[[noreturn]] void stop(std::string_view message, std::source_location where = std::source_location::current());

// The same for a decode failure, whose message is `message`.
[[noreturn]] void stop(std::string_view message, DecodeFailure failure,
                       std::source_location where = std::source_location::current());

// What every stop for an error the caller needed to be a success starts
// with; the error's debug text follows it.
inline constexpr std::string_view kUnwrapErrPrefix = "called `Result::unwrap()` on an `Err` value: ";

// kUnwrapErrPrefix + the error's debug text.
[[noreturn]] void stop_unwrap_err(std::string_view error_debug_text,
                                  std::source_location where = std::source_location::current());

// The stop for a value that does not fit its target integer type.
[[noreturn]] void stop_try_from_int(std::source_location where = std::source_location::current());

}  // namespace kz
