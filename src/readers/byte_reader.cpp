// Fixed-width number, ULEB128 and string readers of the replay format.
#include "readers/byte_reader.hpp"

#include <bit>
#include <cstring>

#include "failure/stop.hpp"
#include "failure/failure_text.hpp"
#include "text/utf8.hpp"

namespace kz {
namespace {

constexpr std::uint8_t kAbsentMarker = 0x00;
constexpr std::uint8_t kPresentMarker = 0x0B;
constexpr std::size_t kMaxUlebBytes = 19;

constexpr std::uint16_t byte_swap(std::uint16_t v) noexcept { return __builtin_bswap16(v); }
constexpr std::uint32_t byte_swap(std::uint32_t v) noexcept { return __builtin_bswap32(v); }
constexpr std::uint64_t byte_swap(std::uint64_t v) noexcept { return __builtin_bswap64(v); }

// Loads sizeof(T) bytes in the requested order; the reader consumes nothing
// when they are not all there.
template <class T>
Result<T> load(ByteView input, ByteOrder order) noexcept {
    if (input.size() < sizeof(T)) return DecodeError::eof(input, sizeof(T));
    T value;
    std::memcpy(&value, input.data(), sizeof(T));
    const bool want_big = order == ByteOrder::Big;
    if (want_big != (std::endian::native == std::endian::big)) value = byte_swap(value);
    return Result<T>(value, input.subspan(sizeof(T)));
}

DecodeFailure text_failure(FailureCause cause, std::uint8_t field) {
    DecodeFailure failure;
    failure.cause = cause;
    failure.field = field;
    return failure;
}

[[noreturn]] void stop_bad_marker(std::uint8_t marker, std::uint8_t field, std::string_view name) {
    DecodeFailure failure = text_failure(FailureCause::BadStringMarker, field);
    failure.value = marker;
    failure.label = name;
    stop_decode(std::move(failure));
}

// `payload_at`: the text's bytes, counted from the field's start.
[[noreturn]] void stop_not_utf8(ByteView payload, std::size_t payload_at, const Utf8Error& error, std::uint8_t field) {
    DecodeFailure failure = text_failure(FailureCause::InvalidUtf8, field);
    failure.offset = payload_at + error.valid_up_to;
    failure.utf8 = Utf8Fault{error.valid_up_to, error.error_len};
    failure.quoted = quote(payload, payload.size());
    stop_decode(std::move(failure));
}

}  // namespace

Result<std::uint8_t> parse_u8(ByteView input) noexcept {
    if (input.empty()) return DecodeError::eof(input, 1);
    return Result<std::uint8_t>(input[0], input.subspan(1));
}

Result<std::uint16_t> parse_u16(ByteView input, ByteOrder order) noexcept { return load<std::uint16_t>(input, order); }

Result<std::uint32_t> parse_u32(ByteView input, ByteOrder order) noexcept { return load<std::uint32_t>(input, order); }

Result<std::int32_t> parse_i32(ByteView input, ByteOrder order) noexcept {
    auto bits = load<std::uint32_t>(input, order);
    if (!bits) return bits.error();
    return Result<std::int32_t>(static_cast<std::int32_t>(bits.value()), bits.rest());
}

Result<std::uint64_t> parse_u64(ByteView input, ByteOrder order) noexcept { return load<std::uint64_t>(input, order); }

Result<unsigned __int128> parse_uleb128(ByteView input) noexcept {
    unsigned __int128 value = 0;
    for (std::size_t i = 0; i < kMaxUlebBytes; ++i) {
        if (i == input.size()) return DecodeError::incomplete(1);
        const std::uint8_t byte = input[i];
        // The 19th byte reaches bit 132; the shift drops what lies above bit 127.
        value |= static_cast<unsigned __int128>(byte & 0x7F) << (7 * i);
        if ((byte & 0x80) == 0) return Result<unsigned __int128>(value, input.subspan(i + 1));
    }
    return DecodeError::error(input, ErrorKind::TooLarge);
}

Result<OptionalText> parse_string(ByteView input, std::uint8_t field, std::string_view name) {
    if (input.empty()) return DecodeError::eof(input, 1);
    const std::uint8_t marker = input[0];
    ByteView rest = input.subspan(1);
    if (marker == kAbsentMarker) return Result<OptionalText>(std::nullopt, rest);
    if (marker != kPresentMarker) stop_bad_marker(marker, field, name);

    KZ_TRY(length, rest, parse_uleb128(rest));
    if (length > static_cast<unsigned __int128>(UINT64_MAX))
        stop_decode(text_failure(FailureCause::LengthTooLarge, field));
    // Checked against the bytes present before anything is allocated, so a
    // huge declared length costs nothing.
    if (length > rest.size()) return DecodeError::eof(rest, static_cast<std::uint64_t>(length));
    const std::size_t size = static_cast<std::size_t>(length);
    const ByteView payload = rest.first(size);
    if (const auto bad = validate_utf8(payload)) {
        stop_not_utf8(payload, static_cast<std::size_t>(payload.data() - input.data()), *bad, field);
    }
    OptionalText text(std::in_place, reinterpret_cast<const char*>(payload.data()), size);
    return Result<OptionalText>(std::move(text), rest.subspan(size));
}

}  // namespace kz
