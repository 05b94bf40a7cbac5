// The debug text of stored values: the one-line, field-by-field form behind
// the reprs of records and the tails of stop messages.
//
// Pure core code: works on plain records, touches no Python object, keeps no
// state, and allocates only by growing the output string it is given.
#pragma once

#include <charconv>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <type_traits>

#include "common/memory.hpp"
#include "common/record_fields.hpp"
#include "common/shared_frames.hpp"
#include "flags/flag_sets.hpp"
#include "game_mode/game_mode.hpp"

namespace kz {

// Appends the shortest text that reads back to exactly `value` as a double:
// "NaN", "inf", "-inf", plain form with at least one fraction digit ("256.0",
// "-0.0", "0.0001"), exponent form below 1e-4 and from 1e16 on ("1e16", "1.5e-5").
void append_debug_f64(String& out, double value);

// The same rules with the digits and thresholds of a 32-bit float, so a float
// holding 0.1f prints "0.1".
void append_debug_f32(String& out, float value);

// Appends `utf8` between double quotes, with \0 \t \r \n \" \\ escapes and
// \u{hex} for Grapheme_Extend and non-printable characters. Malformed UTF-8
// never makes it read past the end: each maximal invalid byte sequence is
// written as U+FFFD, so the output is always valid UTF-8.
void append_debug_text(String& out, std::string_view utf8);

namespace debug_detail {

template <class T>
inline constexpr bool is_optional = false;
template <class T>
inline constexpr bool is_optional<std::optional<T>> = true;

template <class T>
inline constexpr bool is_vec = false;
template <class T>
inline constexpr bool is_vec<Vec<T>> = true;

template <class T>
inline constexpr bool is_shared_frames = false;
template <class T>
inline constexpr bool is_shared_frames<SharedFrames<T>> = true;

template <class T>
concept Integer = std::integral<T> && !std::same_as<T, bool>;

// Writes the decimal form with std::to_chars directly into the output's
// buffer: grow by the widest possible text, write, trim back.
template <Integer T>
void append_integer(String& out, T value) {
    constexpr std::size_t max_len = std::numeric_limits<T>::digits10 + 2;
    const std::size_t old_size = out.size();
    out.resize(old_size + max_len);
    char* const first = out.data() + old_size;
    const auto result = std::to_chars(first, first + max_len, value);
    out.resize(static_cast<std::size_t>(result.ptr - out.data()));
}

template <class T>
inline constexpr bool always_false = false;

// A rough length of the debug text, for one reservation up front. Lists are
// estimated from their first item, so the cost does not grow with the list.
template <class T>
std::size_t size_hint(const T& value) {
    if constexpr (std::same_as<T, bool>) {
        return 5;
    } else if constexpr (std::floating_point<T>) {
        return 10;
    } else if constexpr (Integer<T>) {
        return 6;
    } else if constexpr (std::same_as<T, String>) {
        return value.size() + 2;
    } else if constexpr (std::same_as<T, GameMode>) {
        return 7;
    } else if constexpr (FlagSet<T>) {
        return FlagInfo<T>::name.size() + 8;
    } else if constexpr (is_optional<T>) {
        return value ? 6 + size_hint(*value) : 4;
    } else if constexpr (is_shared_frames<T>) {
        return size_hint(value.frames());
    } else if constexpr (is_vec<T>) {
        return value.empty() ? 2 : 2 + value.size() * (size_hint(value.front()) + 2);
    } else if constexpr (NamedRecord<T>) {
        std::size_t total = RecordInfo<T>::name.size() + 4;
        RecordInfo<T>::fields::for_each(
            [&](auto field) { total += field.name.size() + 4 + size_hint(value.*decltype(field)::member); });
        return total;
    } else {
        return 16;
    }
}

}  // namespace debug_detail

// Appends the debug text of any stored value: integers in decimal, bool as
// true/false, floats and texts by the rules above, optionals as None/Some(..),
// lists as [a, b], the play mode by its member name, flag sets as Mod(72) /
// Key(-1), and records as Name { field: value, ... }. A type without a debug
// form does not compile.
template <class T>
void append_debug(String& out, const T& value) {
    using namespace debug_detail;
    if constexpr (std::same_as<T, bool>) {
        out.append(value ? "true" : "false");
    } else if constexpr (std::same_as<T, double>) {
        append_debug_f64(out, value);
    } else if constexpr (std::same_as<T, float>) {
        append_debug_f32(out, value);
    } else if constexpr (Integer<T>) {
        append_integer(out, value);
    } else if constexpr (std::same_as<T, String>) {
        append_debug_text(out, value);
    } else if constexpr (std::same_as<T, GameMode>) {
        out.append(game_mode_name(value));
    } else if constexpr (FlagSet<T>) {
        // The stored type of `bits` already gives the sign: unsigned for Mod,
        // signed for the key sets.
        out.append(FlagInfo<T>::name);
        out.push_back('(');
        append_integer(out, value.bits);
        out.push_back(')');
    } else if constexpr (is_optional<T>) {
        if (!value) {
            out.append("None");
            return;
        }
        out.append("Some(");
        append_debug(out, *value);
        out.push_back(')');
    } else if constexpr (is_shared_frames<T>) {
        append_debug(out, value.frames());
    } else if constexpr (is_vec<T>) {
        out.push_back('[');
        bool first = true;
        for (const auto& item : value) {
            if (!first) out.append(", ");
            first = false;
            append_debug(out, item);
        }
        out.push_back(']');
    } else if constexpr (NamedRecord<T>) {
        out.append(RecordInfo<T>::name);
        if constexpr (RecordInfo<T>::fields::size == 0) {
            return;
        } else {
            out.append(" { ");
            bool first = true;
            RecordInfo<T>::fields::for_each([&](auto field) {
                if (!first) out.append(", ");
                first = false;
                out.append(field.name);
                out.append(": ");
                append_debug(out, value.*decltype(field)::member);
            });
            out.append(" }");
        }
    } else {
        static_assert(always_false<T>, "this type has no debug text");
    }
}

// The debug text of `value` as a new string, reserved once from an estimate
// of its length.
template <class T>
String debug_text(const T& value) {
    String out;
    out.reserve(debug_detail::size_hint(value));
    append_debug(out, value);
    return out;
}

}  // namespace kz
