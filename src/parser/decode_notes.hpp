// Where decoding is: the field being read and, inside a frame text, the item.
// The parsers note each place as they reach it (a pointer store); only a
// failure reads the notes, to say what was wrong and where.
#pragma once

#include <cstdint>
#include <string_view>

#include "parser/decode_result.hpp"

namespace kz {

struct DecodeNotes {
    ByteView input;                            // the replay being decoded, or its first bytes
    std::uint64_t input_size = 0;              // the whole replay's size when `input` is its first bytes
    const char* field = nullptr;               // name of the field being read
    const std::uint8_t* field_begin = nullptr;  // where it starts in `input`
    std::uint8_t mode_byte = 0;                // valid once the frame block is reached
    std::string_view text;                     // the frame text, once decompressed
    const char* item_begin = nullptr;          // the item of `text` being read
};

// This thread's notes.
DecodeNotes& decode_notes() noexcept;

// A new replay: forgets the notes of the last one.
inline void note_input(ByteView input) noexcept {
    DecodeNotes& notes = decode_notes();
    notes = DecodeNotes();
    notes.input = input;
}

inline void note_field(const char* name, ByteView at) noexcept {
    DecodeNotes& notes = decode_notes();
    notes.field = name;
    notes.field_begin = at.data();
    notes.text = {};  // a frame text is gone once the next field is read
    notes.item_begin = nullptr;
}

}  // namespace kz
