// Strict UTF-8 validation.
#include "text/utf8.hpp"

#include <charconv>
#include <cstring>

namespace kz {

Utf8Step decode_utf8_step(const std::uint8_t* s, std::size_t available) noexcept {
    const std::uint8_t lead = s[0];
    std::uint8_t length;
    char32_t code_point;
    // The allowed range of the second byte excludes overlong forms (E0, F0),
    // surrogates (ED) and code points above U+10FFFF (F4).
    std::uint8_t second_low = 0x80, second_high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code_point = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code_point = lead & 0x0F;
        if (lead == 0xE0) second_low = 0xA0;
        if (lead == 0xED) second_high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code_point = lead & 0x07;
        if (lead == 0xF0) second_low = 0x90;
        if (lead == 0xF4) second_high = 0x8F;
    } else {
        return {0xFFFD, 1, Utf8Step::Status::Invalid};  // a continuation byte, C0/C1, or F5..FF
    }
    for (std::uint8_t i = 1; i < length; ++i) {
        if (i >= available) return {0xFFFD, i, Utf8Step::Status::Truncated};
        const std::uint8_t c = s[i];
        const bool ok = i == 1 ? (c >= second_low && c <= second_high) : (c & 0xC0) == 0x80;
        if (!ok) return {0xFFFD, i, Utf8Step::Status::Invalid};
        code_point = (code_point << 6) | (c & 0x3F);
    }
    return {code_point, length, Utf8Step::Status::Valid};
}

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
        if (data[i] < 0x80) {
            ++i;
            continue;
        }
        const Utf8Step step = decode_utf8_step(data + i, size - i);
        switch (step.status) {
            case Utf8Step::Status::Valid: i += step.length; break;
            case Utf8Step::Status::Invalid: return Utf8Error{i, step.length};
            case Utf8Step::Status::Truncated: return Utf8Error{i, std::nullopt};
        }
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
