// The person's message of a decode failure: the field (from the layout
// table) or the frame item, the byte offset, and what is wrong there. Every
// number comes from the failure value; no text is read back.
#include "bulk/failure_report.hpp"

#include <charconv>

#include "layout/replay_layout.hpp"
#include "failure/failure_text.hpp"
#include "replay_events/item_fault.hpp"

namespace kz {
namespace {

// 1234567 as "1,234,567": offsets and counts are read by people.
void append_count(String& out, std::uint64_t value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    const auto length = static_cast<std::size_t>(end - digits);
    for (std::size_t index = 0; index < length; ++index) {
        if (index > 0 && (length - index) % 3 == 0) out += ',';
        out += digits[index];
    }
}

// Builds a message from text and numbers in order.
struct Message {
    String text;
    Message& operator<<(std::string_view part) {
        text += part;
        return *this;
    }
    Message& operator<<(std::uint64_t number) {
        append_count(text, number);
        return *this;
    }
};

std::string_view field_name(const DecodeFailure& failure) noexcept {
    return failure.field < layout::kFields.size() ? layout::kFields[failure.field].name : std::string_view("mode");
}

layout::Kind field_kind(const DecodeFailure& failure) noexcept {
    return failure.field < layout::kFields.size() ? layout::kFields[failure.field].kind : layout::Kind::Byte;
}

// The input ended inside the field.
String describe_end_of_file(const DecodeFailure& failure) {
    Message m;
    const std::string_view field = field_name(failure);
    const std::uint64_t at = failure.field_offset;
    const std::uint64_t end = at + failure.offset;  // where the input ends
    switch (field_kind(failure)) {
        case layout::Kind::Text:
        case layout::Kind::LifeBar:
            if (failure.part == EofPart::Start) {
                m << "file ends at offset " << at << ", where " << field << " should start";
            } else {
                m << "file ends inside " << field << " (needs " << failure.needed << " more bytes at offset " << end
                  << ")";
            }
            break;
        case layout::Kind::FrameBlock:
            m << (failure.part == EofPart::Length ? "file ends inside the length of the frame block (needs "
                                                  : "file ends inside the frame block (needs ")
              << failure.needed << " more bytes at offset " << end << ")";
            break;
        default:
            m << "file ends inside " << field << " (needs " << failure.needed << " more bytes at offset " << end << ")";
    }
    return std::move(m.text);
}

String describe_frame_item(const DecodeFailure& failure, std::string_view panic_message) {
    Message m;
    const std::string_view check = item_check_name(failure.mode, failure.item_check);
    switch (failure.item_fault) {
        case ItemFault::Missing:
            m << "frame " << failure.item << " (byte " << failure.item_offset << " of the frame text): " << check
              << " is missing (the item has " << failure.item_fields << " fields)";
            return std::move(m.text);
        case ItemFault::NotNumber:
        case ItemFault::NotWholeNumber:
            m << "frame " << failure.item << " (byte " << failure.item_offset << " of the frame text): " << check
              << (failure.item_fault == ItemFault::NotNumber ? " is not a number" : " is not a whole number in range");
            return std::move(m.text);
        case ItemFault::None: break;
    }
    m << "frame text, at byte " << failure.item_offset << ": " << panic_message;
    return std::move(m.text);
}

String describe_message(const DecodeFailure& failure, std::string_view panic_message) {
    Message m;
    const std::string_view field = field_name(failure);
    const std::uint64_t at = failure.field_offset;
    switch (failure.cause) {
        case FailureCause::None: return String(panic_message);
        case FailureCause::Eof: return describe_end_of_file(failure);
        case FailureCause::EofInLength: m << "file ends inside the length of " << field << " at offset " << at; break;
        case FailureCause::LengthTooLong:
            m << "the length of " << field << " at offset " << at << " is too long a number";
            break;
        case FailureCause::LengthTooLarge:
            if (field_kind(failure) == layout::Kind::FrameBlock) {
                m << "the frame block length at offset " << at << " is negative";
            } else {
                m << "the length of " << field << " at offset " << at << " is too large";
            }
            break;
        case FailureCause::BadStringMarker: {
            char hex[8];
            const auto end = std::to_chars(hex, hex + sizeof hex, failure.value, 16).ptr;
            m << field << " at offset " << at << " starts with byte 0x"
              << std::string_view(hex, static_cast<std::size_t>(end - hex)) << ", which marks no string (0x00 or 0x0b)";
            break;
        }
        case FailureCause::InvalidUtf8: m << field << " is not valid UTF-8 at offset " << at + failure.offset; break;
        case FailureCause::UnknownMode:
            m << "mode byte " << failure.value << " at offset 0 names no game mode (0 to 3)";
            break;
        case FailureCause::BadLifeBarTime:
        case FailureCause::BadLifeBarLife:
            m << field << " sample " << failure.item << " (offset " << at + failure.offset << "): "
              << (failure.cause == FailureCause::BadLifeBarTime ? "the time is not a whole number"
                                                                : "the life is not a number");
            break;
        case FailureCause::BadFrameItem: return describe_frame_item(failure, panic_message);
        case FailureCause::NoFrame: return String("the frame text holds no frame");
        case FailureCause::TooManyFrames:
            m << "frame text, at byte " << failure.item_offset << ": " << panic_message;
            break;
        case FailureCause::TextTooLong:
            m << "the frame block at offset " << at << " expands to more than 256 MiB of frame text";
            break;
        case FailureCause::Lzma:
            m << "the frame block at offset " << at << " is not valid compressed data (" << lzma_reason(failure.value)
              << ")";
            break;
    }
    return std::move(m.text);
}

}  // namespace

String bounded_detail(std::string_view detail) {
    if (detail.size() <= kMaxDetailBytes) return String(detail);
    std::size_t cut = kMaxDetailBytes;
    while (cut > 0 && (static_cast<unsigned char>(detail[cut]) & 0xC0) == 0x80) --cut;  // not inside a character
    String out(detail.substr(0, cut));
    out += "... (";
    append_count(out, detail.size());
    out += " bytes in all)";
    return out;
}

String describe_other_stop(const DecodeFailure& failure, std::string_view stop_message) {
    if (!failure.placed) return String(stop_message);
    Message m;
    m << field_name(failure) << " at offset " << failure.field_offset << ": " << stop_message;
    return std::move(m.text);
}

Failure describe_failure(const DecodeFailure& failure) {
    const String panic_message = panic_text(failure);
    Failure described;
    described.kind = failure.cause == FailureCause::TextTooLong ? FailureKind::Limit : FailureKind::Decode;
    described.message = describe_message(failure, panic_message);
    described.detail = bounded_detail(panic_message);
    return described;
}

}  // namespace kz
