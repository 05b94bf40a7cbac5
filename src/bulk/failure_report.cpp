// What went wrong and where, worked out only once a decode has failed: the
// parsers leave notes of the field (and frame item) they are reading, and
// this file reads the bytes around that place again to name the problem.
#include "bulk/failure_report.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <span>

#include "parser/byte_reader.hpp"
#include "parser/decode_notes.hpp"
#include "text/number_text.hpp"
#include "text/text_scan.hpp"
#include "text/utf8.hpp"

namespace kz {
namespace {

constexpr std::string_view kUnwrapErr = "called `Result::unwrap()` on an `Err` value: ";
constexpr std::string_view kUnwrapNone = "called `Option::unwrap()` on a `None` value";
constexpr std::string_view kIndexOutOfBounds = "index out of bounds: ";
constexpr std::string_view kTextTooLong = "decompressed frame text exceeds";

bool starts_with(std::string_view text, std::string_view prefix) noexcept {
    return text.substr(0, prefix.size()) == prefix;
}

// The stop of a float field that is not a number: the unwrap of a bare "Error".
bool is_float_error(std::string_view message) noexcept {
    return starts_with(message, kUnwrapErr) && message.substr(kUnwrapErr.size()) == "Error";
}

// 1234567 as "1,234,567": offsets and counts are read by people.
void append_count(String& out, std::size_t value) {
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
    Message& operator<<(std::size_t number) {
        append_count(text, number);
        return *this;
    }
};

// Widths of the fixed-size fields of the header.
std::size_t fixed_width(std::string_view field) noexcept {
    if (field == "mode" || field == "perfect") return 1;
    if (field == "game_version" || field == "score" || field == "mods") return 4;
    if (field == "timestamp") return 8;
    if (field == "replay_id") return 4;  // older files end with the 4-byte form
    return 2;                            // the counts and max_combo
}

bool is_string_field(std::string_view field) noexcept {
    return field == "beatmap_hash" || field == "username" || field == "replay_hash" || field == "life_bar_graph";
}

struct Place {
    std::string_view field;
    std::size_t offset = 0;      // of the field in the input
    ByteView rest;               // the input from the field on
    std::size_t have = 0;        // bytes from the field to the end of the whole input
};

Place current_place(const DecodeNotes& notes) noexcept {
    Place place;
    place.field = notes.field != nullptr ? notes.field : "mode";
    const std::uint8_t* begin = notes.field_begin != nullptr ? notes.field_begin : notes.input.data();
    if (notes.input.data() == nullptr) return place;
    place.offset = static_cast<std::size_t>(begin - notes.input.data());
    place.rest = notes.input.subspan(std::min(place.offset, notes.input.size()));
    const std::size_t whole = notes.input_size != 0 ? static_cast<std::size_t>(notes.input_size) : notes.input.size();
    place.have = whole - std::min(place.offset, whole);
    return place;
}

// A string field's layout: the marker, the length, then the bytes.
struct StringLayout {
    bool has_marker = false;
    bool has_length = false;
    std::size_t payload_offset = 0;  // from the field's start
    unsigned __int128 length = 0;
};

StringLayout read_string_layout(ByteView rest) noexcept {
    StringLayout layout;
    if (rest.empty()) return layout;
    layout.has_marker = true;
    const auto length = parse_uleb128(rest.subspan(1));
    if (!length) return layout;
    layout.has_length = true;
    layout.length = length.value();
    layout.payload_offset = static_cast<std::size_t>(length.rest().data() - rest.data());
    return layout;
}

// The input ended inside the field at `place`.
String describe_end_of_file(const Place& place) {
    Message m;
    const std::size_t have = place.have;
    if (is_string_field(place.field)) {
        const StringLayout layout = read_string_layout(place.rest);
        if (!layout.has_marker) {
            m << "file ends at offset " << place.offset << ", where " << place.field << " should start";
        } else if (!layout.has_length) {
            m << "file ends inside the length of " << place.field << " at offset " << place.offset;
        } else {
            const auto missing = static_cast<std::size_t>(layout.length - (have - layout.payload_offset));
            m << "file ends inside " << place.field << " (needs " << missing << " more bytes at offset "
              << place.offset + have << ")";
        }
    } else if (place.field == "frame block") {
        std::int32_t declared = 0;
        if (have < 4) {
            m << "file ends inside the length of the frame block (needs " << 4 - have << " more bytes at offset "
              << place.offset + have << ")";
        } else {
            std::memcpy(&declared, place.rest.data(), 4);
            const auto length = static_cast<std::size_t>(declared);
            m << "file ends inside the frame block (needs " << length - (have - 4) << " more bytes at offset "
              << place.offset + have << ")";
        }
    } else {
        m << "file ends inside " << place.field << " (needs " << fixed_width(place.field) - std::min(have, fixed_width(place.field))
          << " more bytes at offset " << place.offset + have << ")";
    }
    return std::move(m.text);
}

String describe_header_stop(std::string_view stop_message, const Place& place, const DecodeNotes& notes) {
    Message m;
    const bool eof = stop_message.find("Eof") != std::string_view::npos ||
                     stop_message.find("Incomplete") != std::string_view::npos;
    if (starts_with(stop_message, "Expected the first byte of a string")) {
        const unsigned marker = place.rest.empty() ? 0u : place.rest[0];
        char hex[8];
        const auto end = std::to_chars(hex, hex + sizeof hex, marker, 16).ptr;
        m << place.field << " at offset " << place.offset << " starts with byte 0x"
          << std::string_view(hex, static_cast<std::size_t>(end - hex))
          << ", which marks no string (0x00 or 0x0b)";
    } else if (stop_message.find("FromUtf8Error") != std::string_view::npos) {
        const StringLayout layout = read_string_layout(place.rest);
        const std::size_t payload = place.offset + layout.payload_offset;
        std::size_t bad = payload;
        const ByteView bytes = place.rest.subspan(std::min(layout.payload_offset, place.rest.size()));
        const std::size_t size = std::min<std::size_t>(bytes.size(), static_cast<std::size_t>(
            std::min<unsigned __int128>(layout.length, bytes.size())));
        if (const auto error = validate_utf8(bytes.first(size))) bad += error->valid_up_to;
        m << place.field << " is not valid UTF-8 at offset " << bad;
    } else if (stop_message == "Unknown GameMode") {
        m << "mode byte " << std::size_t{notes.mode_byte} << " at offset 0 names no game mode (0 to 3)";
    } else if (stop_message.find("TryFromIntError") != std::string_view::npos) {
        if (place.field == "frame block") {
            m << "the frame block length at offset " << place.offset << " is negative";
        } else {
            m << "the length of " << place.field << " at offset " << place.offset << " is too large";
        }
    } else if (eof || stop_message.find("TooLarge") != std::string_view::npos) {
        if (stop_message.find("TooLarge") != std::string_view::npos) {
            m << "the length of " << place.field << " at offset " << place.offset << " is too long a number";
        } else {
            return describe_end_of_file(place);
        }
    } else {
        m << place.field << " at offset " << place.offset << ": " << stop_message;
    }
    return std::move(m.text);
}

// The life-bar text is re-read piece by piece to find the bad one.
String describe_life_bar(const Place& place) {
    Message m;
    const StringLayout layout = read_string_layout(place.rest);
    const std::size_t start = std::min(layout.payload_offset, place.rest.size());
    const ByteView payload = place.rest.subspan(start, std::min<std::size_t>(
        place.rest.size() - start, static_cast<std::size_t>(std::min<unsigned __int128>(layout.length, place.rest.size()))));
    const auto* text = reinterpret_cast<const char*>(payload.data());
    const char* piece = text;
    const char* const end = text + payload.size();
    for (std::size_t index = 0;; ++index) {
        const char* const piece_end = find_byte(piece, end, ',');
        const char* const bar = find_byte(piece, piece_end, '|');
        if (bar != piece_end) {
            const std::size_t at = place.offset + start + static_cast<std::size_t>(piece - text);
            if (parse_strict_u32(std::string_view(piece, static_cast<std::size_t>(bar - piece))).error) {
                m << "life_bar_graph sample " << index << " (offset " << at << "): the time is not a whole number";
                return std::move(m.text);
            }
            if (!parse_strict_float<float>(std::string_view(bar + 1, static_cast<std::size_t>(piece_end - bar - 1)))) {
                m << "life_bar_graph sample " << index << " (offset " << at << "): the life is not a number";
                return std::move(m.text);
            }
        }
        if (piece_end == end) break;
        piece = piece_end + 1;
    }
    m << "life_bar_graph at offset " << place.offset << " cannot be read";
    return std::move(m.text);
}

// How each mode reads an item, in the order of its checks.
enum class FieldRule : std::uint8_t { Int64, Int32, Float };
struct FieldCheck {
    std::size_t index;
    std::string_view name;
    FieldRule rule;
};

constexpr FieldCheck kCursorChecks[] = {{0, "time_delta", FieldRule::Int64}, {1, "x", FieldRule::Float},
                                        {2, "y", FieldRule::Float}, {3, "keys", FieldRule::Int32}};
constexpr FieldCheck kDrumChecks[] = {{0, "time_delta", FieldRule::Int64}, {1, "x", FieldRule::Int64},
                                      {3, "keys", FieldRule::Int32}};
constexpr FieldCheck kCatchChecks[] = {{0, "time_delta", FieldRule::Int64}, {1, "x", FieldRule::Float},
                                       {3, "dashing", FieldRule::Int32}};
constexpr FieldCheck kColumnChecks[] = {{0, "time_delta", FieldRule::Int64}, {1, "keys", FieldRule::Int32}};

std::span<const FieldCheck> checks_of(std::uint8_t mode_byte) noexcept {
    switch (mode_byte) {
        case 1: return kDrumChecks;
        case 2: return kCatchChecks;
        case 3: return kColumnChecks;
        default: return kCursorChecks;
    }
}

bool field_passes(std::string_view field, FieldRule rule) noexcept {
    const char* const end = field.data() + field.size();
    switch (rule) {
        case FieldRule::Int64: {
            std::int64_t value;
            return read_prefix_int(field.data(), end, value) != nullptr;
        }
        case FieldRule::Int32: {
            std::int32_t value;
            return read_prefix_int(field.data(), end, value) != nullptr;
        }
        case FieldRule::Float: {
            double value;
            return read_float_literal(field.data(), end, value) == end;
        }
    }
    return true;
}

// The first check of the item that fails, as "<field> is ...".
String describe_item_fields(std::string_view item, std::uint8_t mode_byte) {
    if (item.empty() || item.front() == '|') return {};  // such an item is skipped, never wrong
    Vec<std::string_view> fields;
    for (std::size_t start = 0;;) {
        const std::size_t bar = item.find('|', start);
        fields.push_back(item.substr(start, bar == std::string_view::npos ? std::string_view::npos : bar - start));
        if (bar == std::string_view::npos) break;
        start = bar + 1;
    }
    Message m;
    for (const FieldCheck& check : checks_of(mode_byte)) {
        if (check.index >= fields.size()) {
            m << check.name << " is missing (the item has " << fields.size() << " fields)";
            return std::move(m.text);
        }
        if (!field_passes(fields[check.index], check.rule)) {
            m << check.name << (check.rule == FieldRule::Float ? " is not a number" : " is not a whole number in range");
            return std::move(m.text);
        }
    }
    return {};
}

String describe_frame_text_stop(std::string_view stop_message, const DecodeNotes& notes) {
    const std::string_view text = notes.text;
    const char* item_begin = notes.item_begin != nullptr ? notes.item_begin : text.data();
    const auto offset = static_cast<std::size_t>(item_begin - text.data());
    const std::string_view from_item = text.substr(std::min(offset, text.size()));
    const std::string_view item = from_item.substr(0, from_item.find(','));
    const bool item_check = starts_with(stop_message, kUnwrapNone) || starts_with(stop_message, kIndexOutOfBounds) ||
                            is_float_error(stop_message);
    Message m;
    if (item_check) {
        String fault = describe_item_fields(item, notes.mode_byte);
        if (!fault.empty()) {
            const auto index = static_cast<std::size_t>(std::count(text.data(), item_begin, ','));
            m << "frame " << index << " (byte " << offset << " of the frame text): " << fault;
            return std::move(m.text);
        }
        if (starts_with(stop_message, kUnwrapNone)) return String("the frame text holds no frame");
    }
    m << "frame text, at byte " << offset << ": " << stop_message;
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

Failure describe_stop(std::string_view stop_message) {
    const DecodeNotes& notes = decode_notes();
    Failure failure;
    failure.kind = FailureKind::Decode;
    failure.detail = bounded_detail(stop_message);
    const Place place = current_place(notes);
    if (notes.text.data() != nullptr) {
        failure.message = describe_frame_text_stop(stop_message, notes);
    } else if (place.field == "frame block" && starts_with(stop_message, kTextTooLong)) {
        failure.kind = FailureKind::Limit;
        Message m;
        m << "the frame block at offset " << place.offset << " expands to more than 256 MiB of frame text";
        failure.message = std::move(m.text);
    } else if (place.field == "frame block" && !place.rest.empty() &&
               stop_message.find("TryFromIntError") == std::string_view::npos &&
               stop_message.find("Error(Error") == std::string_view::npos &&
               stop_message.find("Incomplete(") == std::string_view::npos) {
        Message m;
        m << "the frame block at offset " << place.offset << " is not valid compressed data ("
          << (starts_with(stop_message, kUnwrapErr) ? stop_message.substr(kUnwrapErr.size()) : stop_message) << ")";
        failure.message = std::move(m.text);
    } else if (place.field == "life_bar_graph" && (stop_message.find("ParseIntError") != std::string_view::npos ||
                                                   is_float_error(stop_message))) {
        failure.message = describe_life_bar(place);
    } else {
        failure.message = describe_header_stop(stop_message, place, notes);
    }
    return failure;
}

void FailureReport::stopped(std::string_view message) noexcept {
    if (failure_) return;
    try {
        failure_.emplace(describe_stop(message));
    } catch (...) {
        // Out of memory while describing: the caller falls back to the stop itself.
    }
}

}  // namespace kz
