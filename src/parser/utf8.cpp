// Strict UTF-8 validation.
#include "parser/utf8.hpp"

#include <charconv>
#include <cstring>

namespace kz {
namespace {

bool is_continuation(std::uint8_t byte) noexcept { return (byte & 0xC0) == 0x80; }

}  // namespace

std::optional<Utf8Error> validate_utf8(ByteView bytes) noexcept {
    const std::uint8_t* const data = bytes.data();
    const std::size_t size = bytes.size();
    std::size_t i = 0;
    while (i < size) {
        // Texts are mostly ASCII: skip eight such bytes per step.
        while (size - i >= 8) {
            std::uint64_t word;
            std::memcpy(&word, data + i, 8);
            if (word & 0x8080808080808080ull) break;
            i += 8;
        }
        if (i == size) break;
        const std::uint8_t lead = data[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        const std::size_t start = i;
        const auto fail = [start](std::optional<std::uint8_t> len) {
            return std::optional<Utf8Error>(Utf8Error{start, len});
        };
        // A sequence cut by the end of the input is reported without a length.
        const auto at = [&](std::size_t k) -> int { return start + k < size ? data[start + k] : -1; };

        std::size_t width;
        std::uint8_t second_low = 0x80, second_high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            width = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            width = 3;
            // E0 would be an overlong form below A0; ED A0.. would be a surrogate.
            if (lead == 0xE0) second_low = 0xA0;
            if (lead == 0xED) second_high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            width = 4;
            // F0 below 90 is overlong; F4 from 90 on is above U+10FFFF.
            if (lead == 0xF0) second_low = 0x90;
            if (lead == 0xF4) second_high = 0x8F;
        } else {
            return fail(1);  // a continuation byte, C0/C1, or F5..FF
        }
        const int second = at(1);
        if (second < 0) return fail(std::nullopt);
        if (second < second_low || second > second_high) return fail(1);
        for (std::size_t k = 2; k < width; ++k) {
            const int next = at(k);
            if (next < 0) return fail(std::nullopt);
            if (!is_continuation(static_cast<std::uint8_t>(next))) return fail(static_cast<std::uint8_t>(k));
        }
        i = start + width;
    }
    return std::nullopt;
}

void append_utf8_error(String& out, const Utf8Error& error) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, error.valid_up_to).ptr;
    out += "Utf8Error { valid_up_to: ";
    out.append(digits, end);
    out += ", error_len: ";
    if (error.error_len) {
        out += "Some(";
        out += static_cast<char>('0' + *error.error_len);
        out += ')';
    } else {
        out += "None";
    }
    out += " }";
}

}  // namespace kz
