// Base64 text (the standard alphabet, as web services send binary fields)
// decoded to bytes, with the offset of the first character that is wrong.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "common/memory.hpp"

namespace kz {

struct Base64Error {
    std::size_t offset = 0;   // of the offending character, or the text's length when it ends too soon
    std::string_view reason;  // static text
};

// Appends the bytes of `text` to `out`. ASCII white space is skipped (texts
// wrapped in lines decode); padding ('=') is optional, but only at the end,
// and never more than the last group needs.
// On an error `out` holds the bytes decoded before it. Throws std::bad_alloc only.
std::optional<Base64Error> decode_base64(std::string_view text, Vec<std::uint8_t>& out);

}  // namespace kz
