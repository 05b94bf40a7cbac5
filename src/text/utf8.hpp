// Strict UTF-8 validation with the position and length of the first invalid sequence.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "common/byte_view.hpp"
#include "common/memory.hpp"

namespace kz {

// Where and how a byte sequence stops being UTF-8.
struct Utf8Error {
    std::size_t valid_up_to = 0;  // bytes before the first invalid sequence, all valid
    // Length (1 to 3) of the invalid sequence prefix; absent when the input
    // ends inside a sequence that was valid so far.
    std::optional<std::uint8_t> error_len;
    friend bool operator==(const Utf8Error&, const Utf8Error&) = default;
};

// One step over a multi-byte sequence: the code point, or where the
// sequence breaks. `length` is the bytes taken: the whole sequence when it is
// valid, else the maximal invalid prefix (at least 1).
struct Utf8Step {
    enum class Status : std::uint8_t { Valid, Invalid, Truncated };
    char32_t code_point;
    std::uint8_t length;
    Status status;
};

// Decodes the sequence starting at s[0] (s[0] >= 0x80), reading only within
// [s, s + available). Overlong forms, surrogates and code points above
// U+10FFFF are invalid; Truncated means the input ends inside a sequence
// that was valid so far.
Utf8Step decode_utf8_step(const std::uint8_t* s, std::size_t available) noexcept;

// Nothing when `bytes` is strict UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF); otherwise the first error. Never allocates.
std::optional<Utf8Error> validate_utf8(ByteView bytes) noexcept;

// "Utf8Error { valid_up_to: 0, error_len: Some(1) }".
void append_utf8_error(String& out, const Utf8Error& error);

}  // namespace kz
