// What went wrong in a decode and where, as plain data: made where the fault
// is found, carried by value (in the Stop that ends the call, or returned),
// and rendered into the texts people read by whoever reports it. It points
// into nothing: the few input bytes a text quotes are copied into it.
//
// Places are numbers: `field` is a row of the layout table
// (src/layout/replay_layout.hpp) and every offset counts bytes. What was read
// before the failure follows from them: the fields before `field` were read
// whole, and in a frame text the items before `item`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "common/memory.hpp"

namespace kz {

enum class FailureCause : std::uint8_t {
    None,             // not a decode failure (a file error, the worker pool, memory)
    Eof,              // the input ends inside the field; `needed` more bytes were wanted
    EofInLength,      // the input ends inside a text's ULEB128 length (`value`: bytes it still wanted)
    LengthTooLong,    // a text's ULEB128 length has more than 19 bytes
    LengthTooLarge,   // a text's length of 2^64 or more, or a negative frame block length
    BadStringMarker,  // `value`: the byte where 0x00 or 0x0b was wanted
    InvalidUtf8,      // `offset`: the first byte that is not UTF-8; `utf8` says how
    UnknownMode,      // `value`: the mode byte
    BadLifeBarTime,   // life-bar sample `item`, at `offset`: its time is no whole number (`int_error`)
    BadLifeBarLife,   // life-bar sample `item`, at `offset`: its life is no number
    BadFrameItem,     // frame item `item`, at byte `item_offset` of the frame text, failed `item_stop`
    NoFrame,          // the frame text holds no frame
    TooManyFrames,    // the frame text holds more than `value` frames (at item `item`)
    TextTooLong,      // the frame block expands to more than `value` bytes of text
    Lzma,             // liblzma refused the frame block: its return code is `value`
};

// Where the input ended inside a field (Eof).
enum class EofPart : std::uint8_t {
    Body,    // inside the field's bytes (a number, a text's bytes, the frame block)
    Start,   // before a text's marker
    Length,  // inside the frame block's length
};

// Which rule of a frame item's reader failed.
enum class ItemStop : std::uint8_t {
    NotWholeNumber,  // an integer field (the None of its unwrap)
    NotNumber,       // a float field
    TooFewFields,    // the item has `value` fields; field `count` was wanted
};

// The first check of the item that fails, found from its text while it is there.
enum class ItemFault : std::uint8_t { None, Missing, NotNumber, NotWholeNumber };

// How a text's bytes stop being UTF-8.
struct Utf8Fault {
    std::uint64_t valid_up_to = 0;
    std::optional<std::uint8_t> error_len;  // absent when the text ends inside a sequence
};

// Input bytes a text quotes: all of them up to a limit, else the first few
// and how many there were.
struct QuotedBytes {
    Bytes shown;
    std::uint64_t total = 0;
};

inline constexpr std::uint8_t kNoField = 0xFF;

struct DecodeFailure {
    FailureCause cause = FailureCause::None;
    std::uint8_t field = kNoField;   // the layout row being read
    std::uint64_t field_offset = 0;  // where that field starts in the file
    std::uint64_t offset = 0;        // where the fault is, counted from the field's start
    std::uint64_t needed = 0;        // Eof: bytes missing past the end of the input
    std::uint64_t value = 0;         // the cause's number (see FailureCause)
    std::uint64_t count = 0;         // TooFewFields: the field wanted
    EofPart part = EofPart::Body;
    // Frame texts and life-bar texts: the item (or sample) and its offset in the text.
    std::uint64_t item = 0;
    std::uint64_t item_offset = 0;
    ItemStop item_stop = ItemStop::NotWholeNumber;
    ItemFault item_fault = ItemFault::None;
    std::uint8_t item_check = 0;    // the failing check's place in the mode's list
    std::uint64_t item_fields = 0;  // ItemFault::Missing: the fields the item has
    std::uint8_t mode = 0;          // the play mode whose frames were read
    std::uint8_t int_error = 0;     // BadLifeBarTime: an IntErrorKind
    Utf8Fault utf8;
    // BadStringMarker: the name the message gives the text. Static text only
    // (a name from the layout table), so that the failure points into nothing.
    std::string_view label;
    QuotedBytes quoted;  // Eof, LengthTooLong: the input from where the reader stood; InvalidUtf8: the text

    bool placed = false;  // field_offset is known

    bool is_decode() const noexcept { return cause != FailureCause::None; }
    // Names the field being read and where it starts, unless a deeper reader
    // already did (a reader may name its field before it knows the offset).
    void place(std::uint8_t row, std::uint64_t row_offset) noexcept {
        if (placed) return;
        field = row;
        field_offset = row_offset;
        placed = true;
    }
};

}  // namespace kz
