// Reading one item of a frame text into the frame record of a play mode.
// Fields are split lazily, once, in the order the checks need them, so the
// first failing check of an item decides its message.
#pragma once

#include <cfloat>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "replay_events/item_fault.hpp"
#include "text/number_text.hpp"
#include "text/text_scan.hpp"
#include "replay_events/frame_records.hpp"

namespace kz {

// A cursor over the fields of one item. The item ends at the next ',' or at
// the end of the text; fields are separated by '|'.
class FrameItem {
public:
    FrameItem(const char* begin, const char* text_end) noexcept : pos_(begin), end_(text_end) {}

    // Field 0 is empty when the item is empty or starts with '|'.
    bool first_field_empty() const noexcept { return pos_ == end_ || *pos_ == ',' || *pos_ == '|'; }

    // The current field by the prefix integer rule; stops with the None
    // message when it fails. Leaves the cursor at the field's end.
    template <class Int>
    Int int_field() {
        Int value;
        const char* after = read_prefix_int(pos_, end_, value);
        if (after == nullptr) stop_frame_item(ItemStop::NotWholeNumber);
        pos_ = after;
        // The bytes after the digits belong to the field but are ignored.
        while (!at_field_end()) ++pos_;
        return value;
    }

    // The current field by the strict float rule: the literal must fill the field.
    double float_field() {
        double value;
        const char* after = read_float_literal(pos_, end_, value);
        if (after == nullptr) stop_frame_item(ItemStop::NotNumber);
        pos_ = after;
        if (!at_field_end()) stop_frame_item(ItemStop::NotNumber);
        return value;
    }

    // Moves to field `index` (after the current one), skipping the fields
    // between unread. The item must have more than `index` fields; otherwise
    // the stop reports the item's field count, all of which have been seen.
    void require(std::size_t index) {
        while (field_ < index) {
            if (pos_ == end_ || *pos_ != '|') stop_frame_item(ItemStop::TooFewFields, field_ + 1, index);
            ++pos_;
            ++field_;
            if (field_ < index) {
                while (!at_field_end()) ++pos_;
            }
        }
    }

    // The ',' that ends the item, or the end of the text; remaining fields are not looked at.
    const char* item_end() const noexcept {
        if (pos_ == end_ || *pos_ == ',') return pos_;
        return find_byte(pos_, end_, ',');
    }

private:
    bool at_field_end() const noexcept { return pos_ == end_ || *pos_ == '|' || *pos_ == ','; }

    const char* pos_;
    const char* end_;
    std::size_t field_ = 0;
};

// Reads field 0 and the fields of the mode; the first failing check stops the
// call. A record is produced for every item with a non-empty field 0.
inline ReplayEventKivo read_frame_fields(FrameItem& item, const ReplayEventKivo*) {
    ReplayEventKivo frame;
    frame.time_delta = item.int_field<std::int64_t>();
    item.require(1);
    frame.x = item.float_field();
    item.require(2);
    frame.y = item.float_field();
    item.require(3);
    frame.keys = Key{item.int_field<std::int32_t>()};
    return frame;
}

inline ReplayEventTaiko read_frame_fields(FrameItem& item, const ReplayEventTaiko*) {
    ReplayEventTaiko frame;
    frame.time_delta = item.int_field<std::int64_t>();
    item.require(1);
    frame.x = item.int_field<std::int64_t>();
    item.require(3);  // field 2 must exist but carries nothing
    frame.keys = KeyTaiko{item.int_field<std::int32_t>()};
    return frame;
}

inline ReplayEventCatch read_frame_fields(FrameItem& item, const ReplayEventCatch*) {
    ReplayEventCatch frame;
    frame.time_delta = item.int_field<std::int64_t>();
    item.require(1);
    frame.x = item.float_field();
    item.require(3);  // field 2 must exist but carries nothing
    frame.dashing = item.int_field<std::int32_t>() == 1;
    return frame;
}

inline ReplayEventMania read_frame_fields(FrameItem& item, const ReplayEventMania*) {
    ReplayEventMania frame;
    frame.time_delta = item.int_field<std::int64_t>();
    item.require(1);
    frame.keys = KeyMania{item.int_field<std::int32_t>()};
    return frame;
}

// The common shapes of an item, read without the general rules: plain
// numbers that fill their fields. Each reader either gives exactly what the
// general rules give for its field or declines (nullptr), and the caller then
// reads the whole item again by the general rules, which also pick its
// message. Readers look at a bounded number of bytes past the item's start
// and never check for the end of the text: the caller uses them only where at
// least kQuickReadBytes follow.
namespace quick {

// The most bytes the readers of one item look at (35 for each float field).
inline constexpr std::ptrdiff_t kQuickReadBytes = 160;

// '-'? then 1 to MaxDigits digits, so no value can overflow Int. Digit by
// digit: the lengths of real numbers repeat, so the branches predict well and
// the next field's start is known before the value is.
template <class Int, int MaxDigits>
inline const char* int_digits(const char* p, Int& out) noexcept {
    using number_text_detail::is_digit;
    const bool negative = *p == '-';
    p += negative ? 1 : 0;
    const char* const digits = p;
    const char* const limit = p + MaxDigits + 1;
    std::uint64_t value = 0;
    while (p != limit && is_digit(*p)) value = value * 10 + std::uint64_t(*p++ - '0');
    const auto count = p - digits;
    if (count == 0 || count > MaxDigits) return nullptr;
    const auto magnitude = static_cast<Int>(value);
    out = negative ? Int(-magnitude) : magnitude;
    return p;
}

// A field of one integer followed by '|'; the cursor ends past the '|'.
template <class Int, int MaxDigits>
inline const char* int_then_bar(const char* p, Int& out) noexcept {
    p = int_digits<Int, MaxDigits>(p, out);
    return p != nullptr && *p == '|' ? p + 1 : nullptr;
}

// A field read by the prefix integer rule, which ignores what follows the
// digits ("368.3333" reads as 368): one integer, then at most 16 bytes of the
// field up to its '|'; the cursor ends past the '|'.
template <class Int, int MaxDigits>
inline const char* int_prefix_then_bar(const char* p, Int& out) noexcept {
    p = int_digits<Int, MaxDigits>(p, out);
    if (p == nullptr) return nullptr;
    for (int i = 0; i < 16; ++i, ++p) {
        if (*p == '|') return p + 1;
        if (*p == ',') return nullptr;
    }
    return nullptr;
}

// '-'? digits, an optional '.' and digits, then '|': at most 15 digits,
// which a double holds exactly, so one division by an exact power of ten
// rounds correctly, as in the general reader's own fast path.
inline const char* float_then_bar(const char* p, double& out) noexcept {
    if constexpr (FLT_EVAL_METHOD != 0) return nullptr;
    using number_text_detail::is_digit;
    const bool negative = *p == '-';
    p += negative ? 1 : 0;
    const char* const digits = p;
    std::uint64_t mantissa = 0;
    for (const char* const limit = p + 16; p != limit && is_digit(*p);)
        mantissa = mantissa * 10 + std::uint64_t(*p++ - '0');
    auto count = p - digits;
    std::ptrdiff_t fraction = 0;
    if (*p == '.') {
        const char* const fraction_digits = ++p;
        for (const char* const limit = p + 16; p != limit && is_digit(*p);)
            mantissa = mantissa * 10 + std::uint64_t(*p++ - '0');
        fraction = p - fraction_digits;
        count += fraction;
    }
    if (count == 0 || count > 15 || *p != '|') return nullptr;
    const double m = static_cast<double>(mantissa);
    const double value = fraction == 0 ? m : m / number_text_detail::FastPathLimits<double>::powers[fraction];
    out = negative ? -value : value;
    return p + 1;
}

// Past a field that is not read: at most 16 bytes, then '|'.
inline const char* skip_then_bar(const char* p) noexcept {
    for (int i = 0; i < 16; ++i, ++p) {
        if (*p == '|') return p + 1;
        if (*p == ',') return nullptr;
    }
    return nullptr;
}

// The ',' ending the item once its last read field has ended at `p`: at most
// 24 bytes of unread fields.
inline const char* item_end(const char* p) noexcept {
    if (*p == ',') return p;
    if (*p != '|') return nullptr;
    for (int i = 0; i < 24; ++i) {
        if (*++p == ',') return p;
    }
    return nullptr;
}

// Keys of 1 to 9 digits (an int32 either way), then the item's end.
template <class Int>
inline const char* keys_then_end(const char* p, Int& out) noexcept {
    p = int_digits<Int, 9>(p, out);
    return p != nullptr ? item_end(p) : nullptr;
}

inline const char* read(const char* p, ReplayEventKivo& frame) noexcept {
    std::int32_t keys;
    if (!(p = int_then_bar<std::int64_t, 18>(p, frame.time_delta))) return nullptr;
    if (!(p = float_then_bar(p, frame.x))) return nullptr;
    if (!(p = float_then_bar(p, frame.y))) return nullptr;
    if (!(p = keys_then_end(p, keys))) return nullptr;
    frame.keys = Key{keys};
    return p;
}

inline const char* read(const char* p, ReplayEventTaiko& frame) noexcept {
    std::int32_t keys;
    if (!(p = int_then_bar<std::int64_t, 18>(p, frame.time_delta))) return nullptr;
    if (!(p = int_prefix_then_bar<std::int64_t, 18>(p, frame.x))) return nullptr;
    if (!(p = skip_then_bar(p))) return nullptr;
    if (!(p = keys_then_end(p, keys))) return nullptr;
    frame.keys = KeyTaiko{keys};
    return p;
}

inline const char* read(const char* p, ReplayEventCatch& frame) noexcept {
    std::int32_t dashing;
    if (!(p = int_then_bar<std::int64_t, 18>(p, frame.time_delta))) return nullptr;
    if (!(p = float_then_bar(p, frame.x))) return nullptr;
    if (!(p = skip_then_bar(p))) return nullptr;
    if (!(p = keys_then_end(p, dashing))) return nullptr;
    frame.dashing = dashing == 1;
    return p;
}

inline const char* read(const char* p, ReplayEventMania& frame) noexcept {
    std::int32_t keys;
    if (!(p = int_then_bar<std::int64_t, 18>(p, frame.time_delta))) return nullptr;
    if (!(p = keys_then_end(p, keys))) return nullptr;
    frame.keys = KeyMania{keys};
    return p;
}

}  // namespace quick

// Reads the item that starts at `cursor`: absent when its field 0 is empty,
// otherwise the record. Leaves `cursor` at the ',' ending the item or at `end`.
template <class Frame>
std::optional<Frame> parse_frame(const char*& cursor, const char* end) {
    FrameItem item(cursor, end);
    if (item.first_field_empty()) {
        cursor = find_byte(cursor, end, ',');
        return std::nullopt;
    }
    const Frame frame = read_frame_fields(item, static_cast<const Frame*>(nullptr));
    cursor = item.item_end();
    return frame;
}

}  // namespace kz
