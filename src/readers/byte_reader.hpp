// Readers of the file format's fixed-width numbers, ULEB128 lengths and strings.
// Each returns the value with the rest of the input, or a DecodeError; none copies the input.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "failure/decode_result.hpp"

namespace kz {

// A decoded string: absent (marker 0x00) or a present UTF-8 text (marker 0x0B).
using OptionalText = std::optional<String>;

Result<std::uint8_t> parse_u8(ByteView input) noexcept;
Result<std::uint16_t> parse_u16(ByteView input, ByteOrder order) noexcept;
Result<std::uint32_t> parse_u32(ByteView input, ByteOrder order) noexcept;
Result<std::int32_t> parse_i32(ByteView input, ByteOrder order) noexcept;
Result<std::uint64_t> parse_u64(ByteView input, ByteOrder order) noexcept;

// 128-bit accumulation, at most 19 bytes; Incomplete(Size(1)) when the input ends early.
Result<unsigned __int128> parse_uleb128(ByteView input) noexcept;

// Stops (does not return an error) on a bad marker byte, a length of 2^64 or
// more, and a payload that is not strict UTF-8. `field` is the text's layout
// row, which the failure names; `name`, static text, is the name the
// bad-marker message gives it.
Result<OptionalText> parse_string(ByteView input, std::uint8_t field, std::string_view name);

}  // namespace kz
