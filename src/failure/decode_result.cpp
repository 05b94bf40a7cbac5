// Text form of decode errors.
#include "failure/decode_result.hpp"

#include <charconv>
#include <string_view>

namespace kz {
namespace {

std::string_view kind_name(ErrorKind kind) noexcept {
    switch (kind) {
        case ErrorKind::Eof: return "Eof";
        case ErrorKind::TooLarge: return "TooLarge";
    }
    return "Eof";
}

}  // namespace

void append_byte_list(String& out, ByteView shown, std::uint64_t total) {
    const bool whole = total <= kMaxQuotedBytes;
    const ByteView bytes = shown.first(static_cast<std::size_t>(whole ? total : kQuotedHeadBytes));
    // Written in one reservation ("255, " is the widest item) without
    // per-byte formatting calls.
    const std::size_t start = out.size();
    out.resize(start + 2 + bytes.size() * 5);
    char* p = out.data() + start;
    *p++ = '[';
    bool first = true;
    for (const std::uint8_t byte : bytes) {
        if (!first) {
            *p++ = ',';
            *p++ = ' ';
        }
        first = false;
        if (byte >= 100) *p++ = static_cast<char>('0' + byte / 100);
        if (byte >= 10) *p++ = static_cast<char>('0' + byte / 10 % 10);
        *p++ = static_cast<char>('0' + byte % 10);
    }
    out.resize(static_cast<std::size_t>(p - out.data()));
    if (!whole) {
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, total).ptr;
        out += ", ... (";
        out.append(digits, end);
        out += " bytes)";
    }
    out += ']';
}

void append_byte_list(String& out, ByteView bytes) { append_byte_list(out, bytes, bytes.size()); }

String describe(const DecodeError& error) { return describe(error, error.input.size()); }

String describe(const DecodeError& error, std::uint64_t input_size) {
    String out;
    switch (error.form) {
        case DecodeError::Form::Incomplete: {
            if (!error.needed) return String("Incomplete(Unknown)");
            char digits[24];
            const auto end = std::to_chars(digits, digits + sizeof digits, *error.needed).ptr;
            out = "Incomplete(Size(";
            out.append(digits, end);
            out += "))";
            return out;
        }
        case DecodeError::Form::Error:
        case DecodeError::Form::Failure: {
            out += error.form == DecodeError::Form::Error ? "Error(Error { input: " : "Failure(Error { input: ";
            append_byte_list(out, error.input, input_size);
            out += ", code: ";
            out += kind_name(error.code);
            out += " })";
            return out;
        }
    }
    return out;
}

}  // namespace kz
