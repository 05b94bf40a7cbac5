// The messages of decode failures that the single-file functions raise, rendered from their values.
#include "failure/failure_text.hpp"

#include <lzma.h>

#include <algorithm>
#include <charconv>
#include <string_view>

#include "failure/stop.hpp"
#include "text/number_text.hpp"
#include "text/utf8.hpp"

namespace kz {
namespace {

constexpr std::string_view kUnwrapNone = "called `Option::unwrap()` on a `None` value";

void append_number(String& out, std::uint64_t value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
}

void append_quoted(String& out, const QuotedBytes& quoted) {
    append_byte_list(out, ByteView(quoted.shown.data(), quoted.shown.size()), quoted.total);
}

// "Error(Error { input: [...], code: Eof })", as the reader's error reads.
void append_reader_error(String& out, const QuotedBytes& quoted, std::string_view code) {
    out += "Error(Error { input: ";
    append_quoted(out, quoted);
    out += ", code: ";
    out += code;
    out += " })";
}

std::string_view lzma_error_name(std::uint64_t code) noexcept {
    switch (static_cast<lzma_ret>(code)) {
        case LZMA_NO_CHECK: return "NoCheck";
        case LZMA_UNSUPPORTED_CHECK: return "UnsupportedCheck";
        case LZMA_MEM_ERROR: return "Mem";
        case LZMA_MEMLIMIT_ERROR: return "MemLimit";
        case LZMA_FORMAT_ERROR: return "Format";
        case LZMA_OPTIONS_ERROR: return "Options";
        case LZMA_DATA_ERROR: return "Data";
        case LZMA_PROG_ERROR: return "Program";
        default: return {};
    }
}

}  // namespace

String lzma_reason(std::uint64_t code) {
    if (const std::string_view name = lzma_error_name(code); !name.empty()) return String(name);
    String out = "unknown return code: ";
    char digits[16];
    const auto end = std::to_chars(digits, digits + sizeof digits, static_cast<int>(code)).ptr;
    out.append(digits, end);
    return out;
}

String panic_text(const DecodeFailure& failure) {
    String out;
    switch (failure.cause) {
        case FailureCause::None: break;
        case FailureCause::Eof:
            out = kUnwrapErrPrefix;
            append_reader_error(out, failure.quoted, "Eof");
            break;
        case FailureCause::EofInLength:
            out = kUnwrapErrPrefix;
            out += "Incomplete(Size(";
            append_number(out, failure.value);
            out += "))";
            break;
        case FailureCause::LengthTooLong:
            out = kUnwrapErrPrefix;
            append_reader_error(out, failure.quoted, "TooLarge");
            break;
        case FailureCause::LengthTooLarge:
            out = kUnwrapErrPrefix;
            out += "TryFromIntError(())";
            break;
        case FailureCause::BadStringMarker:
            out = "Expected the first byte of a string to be 0x00 or 0x0b, but got, ";
            append_number(out, failure.value);
            out += ", ";
            out += failure.label;
            break;
        case FailureCause::InvalidUtf8: {
            out = kUnwrapErrPrefix;
            out += "FromUtf8Error { bytes: ";
            append_quoted(out, failure.quoted);
            out += ", error: ";
            append_utf8_error(out,
                              Utf8Error{static_cast<std::size_t>(failure.utf8.valid_up_to), failure.utf8.error_len});
            out += " }";
            break;
        }
        case FailureCause::UnknownMode: out = "Unknown GameMode"; break;
        case FailureCause::BadLifeBarTime:
            out = kUnwrapErrPrefix;
            out += "ParseIntError { kind: ";
            out += int_error_kind_name(static_cast<IntErrorKind>(failure.int_error));
            out += " }";
            break;
        case FailureCause::BadLifeBarLife:
            out = kUnwrapErrPrefix;
            out += "Error";
            break;
        case FailureCause::BadFrameItem:
            switch (failure.item_stop) {
                case ItemStop::NotWholeNumber: out = kUnwrapNone; break;
                case ItemStop::NotNumber:
                    out = kUnwrapErrPrefix;
                    out += "Error";
                    break;
                case ItemStop::TooFewFields:
                    out = "index out of bounds: the len is ";
                    append_number(out, failure.value);
                    out += " but the index is ";
                    append_number(out, failure.count);
                    break;
            }
            break;
        case FailureCause::NoFrame: out = kUnwrapNone; break;
        case FailureCause::TooManyFrames:
            out = "frame text holds more than ";
            append_number(out, failure.value);
            out += " frames";
            break;
        case FailureCause::TextTooLong:
            out = "decompressed frame text exceeds ";
            append_number(out, failure.value);
            out += " bytes";
            break;
        case FailureCause::Lzma:
            // liblzma's named errors are unwrapped; an unknown code is not.
            if (!lzma_error_name(failure.value).empty()) out = kUnwrapErrPrefix;
            out += lzma_reason(failure.value);
            break;
    }
    return out;
}

void stop_decode(DecodeFailure failure, std::source_location where) {
    const String message = panic_text(failure);
    stop(message, std::move(failure), where);
}

QuotedBytes quote(ByteView shown, std::uint64_t total) {
    QuotedBytes quoted;
    quoted.total = total;
    const std::uint64_t kept = total <= kMaxQuotedBytes ? total : kQuotedHeadBytes;
    const ByteView bytes = shown.first(static_cast<std::size_t>(std::min<std::uint64_t>(kept, shown.size())));
    quoted.shown.assign(bytes.begin(), bytes.end());
    return quoted;
}

}  // namespace kz
