// The text form of a flag-set value: "<Mod.DoubleTime|HardRock: 80>".
#pragma once

#include <charconv>
#include <cstdint>

#include "common/memory.hpp"
#include "flags/flag_sets.hpp"

namespace kz {

// The body lists the names of the set member bits from the highest to the
// lowest, joined by '|'; bits that no member names follow as one unsigned
// number, which stands alone when no named bit is set. Zero is the zero
// member's name where the class has one ("NoMod"), else "0". The number after
// ": " is the stored value: unsigned for Mod, signed for the key classes.
template <FlagSet F>
String flag_text(std::uint32_t bits, bool is_unsigned) {
    constexpr auto& members = FlagInfo<F>::members;
    String text = "<";
    text += FlagInfo<F>::name;
    text += '.';
    std::uint32_t unnamed = bits;
    bool first = true;
    for (auto member = members.rbegin(); member != members.rend(); ++member) {
        if (member->value == 0 || (bits & member->value) != member->value) continue;
        if (!first) text += '|';
        text += member->name;
        unnamed &= ~member->value;
        first = false;
    }
    char digits[16];
    if (unnamed != 0 || first) {
        const bool zero_member = bits == 0 && members.front().value == 0;
        if (zero_member) {
            text += members.front().name;
        } else {
            if (!first) text += '|';
            text.append(digits, std::to_chars(digits, digits + sizeof digits, unnamed).ptr);
        }
    }
    text += ": ";
    if (is_unsigned) {
        text.append(digits, std::to_chars(digits, digits + sizeof digits, bits).ptr);
    } else {
        text.append(digits, std::to_chars(digits, digits + sizeof digits, static_cast<std::int32_t>(bits)).ptr);
    }
    text += '>';
    return text;
}

}  // namespace kz
