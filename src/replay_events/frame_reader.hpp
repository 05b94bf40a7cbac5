// Reading one item of a frame text into the frame record of a play mode.
// Fields are split lazily, once, in the order the checks need them, so the
// first failing check of an item decides its message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "common/stop.hpp"
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
        if (after == nullptr) stop_unwrap_none();
        pos_ = after;
        // The bytes after the digits belong to the field but are ignored.
        while (!at_field_end()) ++pos_;
        return value;
    }

    // The current field by the strict float rule: the literal must fill the field.
    double float_field() {
        double value;
        const char* after = read_float_literal(pos_, end_, value);
        if (after == nullptr) stop_unwrap_err("Error");
        pos_ = after;
        if (!at_field_end()) stop_unwrap_err("Error");
        return value;
    }

    // Moves to field `index` (after the current one), skipping the fields
    // between unread. The item must have more than `index` fields; otherwise
    // the stop reports the item's field count, all of which have been seen.
    void require(std::size_t index) {
        while (field_ < index) {
            if (pos_ == end_ || *pos_ != '|') stop_index_out_of_bounds(field_ + 1, index);
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
