#include "text/base64.hpp"

#include <array>

namespace kz {
namespace {

constexpr std::uint8_t kNotDigit = 0xFF;
constexpr std::uint8_t kSpace = 0xFE;
constexpr std::uint8_t kPad = 0xFD;

constexpr std::array<std::uint8_t, 256> digit_table() {
    std::array<std::uint8_t, 256> table{};
    table.fill(kNotDigit);
    constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (std::size_t index = 0; index < alphabet.size(); ++index) {
        table[static_cast<unsigned char>(alphabet[index])] = static_cast<std::uint8_t>(index);
    }
    for (const char space : {' ', '\t', '\n', '\r', '\v', '\f'}) table[static_cast<unsigned char>(space)] = kSpace;
    table['='] = kPad;
    return table;
}

constexpr std::array<std::uint8_t, 256> kDigits = digit_table();

}  // namespace

std::optional<Base64Error> decode_base64(std::string_view text, Vec<std::uint8_t>& out) {
    std::size_t offset = 0;
    // The common case first: whole groups of four digits, no space, no
    // padding, written straight into room made for them.
    const std::size_t start = out.size();
    out.resize(start + text.size() / 4 * 3);
    std::uint8_t* write = out.data() + start;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    while (text.size() - offset >= 4) {
        const std::uint32_t a = kDigits[bytes[offset]], b = kDigits[bytes[offset + 1]];
        const std::uint32_t c = kDigits[bytes[offset + 2]], d = kDigits[bytes[offset + 3]];
        if ((a | b | c | d) >= 64) break;  // anything else takes the careful path below
        const std::uint32_t group = a << 18 | b << 12 | c << 6 | d;
        write[0] = static_cast<std::uint8_t>(group >> 16);
        write[1] = static_cast<std::uint8_t>(group >> 8);
        write[2] = static_cast<std::uint8_t>(group);
        write += 3;
        offset += 4;
    }
    out.resize(static_cast<std::size_t>(write - out.data()));
    std::uint32_t group = 0;  // the digits of the group being read, 6 bits each
    std::size_t digits = 0;   // in the group
    std::size_t pad_at = text.size();
    std::size_t pads = 0;
    for (; offset < text.size(); ++offset) {
        const std::uint8_t digit = kDigits[static_cast<unsigned char>(text[offset])];
        if (digit == kSpace) continue;
        if (digit == kPad) {
            // Padding fills a group of two or three digits to four, and nothing follows it.
            if (pad_at == text.size()) {
                if (digits < 2) return Base64Error{offset, "padding where a group has fewer than two digits"};
                pad_at = offset;
            }
            if (digits + ++pads > 4) return Base64Error{offset, "more padding than the group needs"};
            continue;
        }
        if (digit == kNotDigit) return Base64Error{offset, "not a base64 digit"};
        if (pad_at != text.size()) return Base64Error{offset, "a digit after the padding"};
        group = group << 6 | digit;
        if (++digits == 4) {
            out.push_back(static_cast<std::uint8_t>(group >> 16));
            out.push_back(static_cast<std::uint8_t>(group >> 8));
            out.push_back(static_cast<std::uint8_t>(group));
            group = 0;
            digits = 0;
        }
    }
    switch (digits) {
        case 0: break;
        case 1: return Base64Error{text.size(), "the text ends inside a group"};
        case 2: out.push_back(static_cast<std::uint8_t>(group >> 4)); break;
        case 3:
            out.push_back(static_cast<std::uint8_t>(group >> 10));
            out.push_back(static_cast<std::uint8_t>(group >> 2));
            break;
        default: break;
    }
    return std::nullopt;
}

}  // namespace kz
