// Read results of the decoding core: a value with the rest of the input, or a DecodeError.
// Readers never throw for malformed input that is merely short; they return errors as values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <variant>

#include "common/byte_view.hpp"
#include "failure/decode_failure.hpp"
#include "common/memory.hpp"

namespace kz {

// Byte order of multi-byte numbers. Every caller passes Little; Native is
// little-endian on every supported platform.
enum class ByteOrder : std::uint8_t { Big, Little, Native };

enum class ErrorKind : std::uint8_t { Eof, TooLarge };

// Why a reader could not produce a value.
struct DecodeError {
    enum class Form : std::uint8_t { Incomplete, Error, Failure };

    Form form = Form::Error;
    std::optional<std::size_t> needed;  // Incomplete only: bytes still missing, if known
    ByteView input;                     // Error/Failure: the rest of the input where the reader failed
    ErrorKind code = ErrorKind::Eof;
    // Eof only: how many bytes from the start of `input` the reader wanted.
    // Not part of the text; it lets a reader that holds only the start of a
    // file tell a short file from a start that is merely too short.
    std::uint64_t wanted = 0;
    // The layout row whose reading failed and where it starts, once the
    // parser has named it (see DecodeFailure).
    std::uint8_t field = kNoField;
    const std::uint8_t* field_begin = nullptr;

    DecodeError& at_field(std::uint8_t row, ByteView begin) noexcept {
        if (field == kNoField) {
            field = row;
            field_begin = begin.data();
        }
        return *this;
    }

    static DecodeError incomplete(std::optional<std::size_t> needed) {
        return {Form::Incomplete, needed, {}, ErrorKind::Eof, 0, kNoField, nullptr};
    }
    static DecodeError error(ByteView input, ErrorKind code) {
        return {Form::Error, std::nullopt, input, code, 0, kNoField, nullptr};
    }
    static DecodeError eof(ByteView input, std::uint64_t wanted) {
        return {Form::Error, std::nullopt, input, ErrorKind::Eof, wanted, kNoField, nullptr};
    }
    static DecodeError eof(ByteView input) { return eof(input, 0); }  // wanted unknown
};

// Byte lists in messages are written whole up to this many bytes; a longer
// one (a huge string, the rest of a big file) shows only its first
// kQuotedHeadBytes and its length, so a message stays small whatever the input.
inline constexpr std::size_t kMaxQuotedBytes = 4096;
inline constexpr std::size_t kQuotedHeadBytes = 64;

// Text form of a decode error, for example "Error(Error { input: [1, 2], code: Eof })".
String describe(const DecodeError& error);

// The same for an error whose `input` holds only the first bytes of a rest
// `input_size` bytes long (at least min(input_size, kQuotedHeadBytes) of
// them, or all of it when input_size <= kMaxQuotedBytes).
String describe(const DecodeError& error, std::uint64_t input_size);

// Appends "[" + each byte in decimal, separated by ", " + "]": the byte-list
// form shared by decode errors and the invalid-UTF-8 stop. Past
// kMaxQuotedBytes: "[" + the first kQuotedHeadBytes bytes + ", ... (N bytes)]".
void append_byte_list(String& out, ByteView bytes);

// The same for a list `total` bytes long of which `shown` holds the start
// (enough of it for the form above).
void append_byte_list(String& out, ByteView shown, std::uint64_t total);

// A successful read: the value and the input after the bytes it consumed.
template <class T>
struct Parsed {
    T value;
    ByteView rest;
};

// Either a Parsed<T> or a DecodeError.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value, ByteView rest) : state_(std::in_place_index<0>, Parsed<T>{std::move(value), rest}) {}
    Result(DecodeError error) : state_(std::in_place_index<1>, error) {}

    bool ok() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T& value() & { return std::get<0>(state_).value; }
    const T& value() const& { return std::get<0>(state_).value; }
    T&& value() && { return std::get<0>(std::move(state_)).value; }
    ByteView rest() const { return std::get<0>(state_).rest; }
    const DecodeError& error() const { return std::get<1>(state_); }

private:
    std::variant<Parsed<T>, DecodeError> state_;
};

#define KZ_CONCAT_INNER(a, b) a##b
#define KZ_CONCAT(a, b) KZ_CONCAT_INNER(a, b)

// KZ_TRY(name, rest, reader(...)): runs the reader; on a decode error returns
// it from the enclosing function, otherwise declares `name` holding the value
// and assigns the rest after it to the existing view `rest`. Call sites read
// as a straight sequence of fields. (The parameters are spelled so that no
// argument can collide with the member calls inside the macro.)
#define KZ_TRY(kz_name_, kz_rest_, ...)                                             \
    auto KZ_CONCAT(kz_try_, __LINE__) = (__VA_ARGS__);                              \
    if (!KZ_CONCAT(kz_try_, __LINE__)) return KZ_CONCAT(kz_try_, __LINE__).error(); \
    kz_rest_ = KZ_CONCAT(kz_try_, __LINE__).rest();                                 \
    auto kz_name_ = std::move(KZ_CONCAT(kz_try_, __LINE__).value())

}  // namespace kz
