// The templates of decode_outcome.hpp: a decode run with quiet stops, whose
// stop carries its failure as a value.
#pragma once

#include "bulk/decode_outcome.hpp"
#include "failure/stop.hpp"

namespace kz {

template <class Value, class Decode>
std::variant<Value, Failure> decode_bytes_as(ByteView contents, Decode&& decode) noexcept {
    try {
        QuietStops quiet;
        return std::variant<Value, Failure>(std::in_place_index<0>, decode(contents));
    } catch (...) {
        return std::variant<Value, Failure>(std::in_place_index<1>, failure_of_current_exception());
    }
}

template <class Value, class Decode>
std::variant<Value, Failure> decode_file_as(const String& path, Decode&& decode) noexcept {
    std::variant<ByteBuffer, Failure> read = read_file_or_failure(path);
    if (Failure* failure = std::get_if<Failure>(&read)) {
        return std::variant<Value, Failure>(std::in_place_index<1>, std::move(*failure));
    }
    const ByteBuffer& bytes = std::get<ByteBuffer>(read);
    return decode_bytes_as<Value>(ByteView(bytes.data(), bytes.size()), std::forward<Decode>(decode));
}

}  // namespace kz
