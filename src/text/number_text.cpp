// Cold paths of the number rules: the out-of-range direction and the strict unsigned rule.
#include "text/number_text.hpp"

namespace kz {

namespace number_text_detail {

bool decimal_literal_is_large(const char* body, const char* end) noexcept {
    // Decimal exponent of the first non-zero digit (0 for the units place);
    // out-of-range results lie beyond 1e38 or below 1e-38, so its sign
    // together with the explicit exponent tells the direction.
    std::int64_t leading = 0;
    bool found = false;
    const char* p = body;
    for (; p != end && is_digit(*p); ++p) {
        if (found) {
            ++leading;
        } else if (*p != '0') {
            found = true;
        }
    }
    if (p != end && *p == '.') {
        ++p;
        std::int64_t zeros = 0;
        for (; p != end && is_digit(*p); ++p) {
            if (found) continue;
            if (*p == '0') {
                ++zeros;
            } else {
                found = true;
                leading = -(zeros + 1);
            }
        }
    }
    if (!found) return false;  // a zero mantissa never leaves the range
    std::int64_t exponent = 0;
    if (p != end && (*p == 'e' || *p == 'E')) {
        ++p;
        bool negative = false;
        if (p != end && (*p == '+' || *p == '-')) negative = *p++ == '-';
        // Saturates far beyond any exponent that matters, never overflowing.
        constexpr std::int64_t cap = std::int64_t(1) << 50;
        for (; p != end && is_digit(*p); ++p) {
            if (exponent < cap) exponent = exponent * 10 + (*p - '0');
        }
        if (negative) exponent = -exponent;
    }
    return leading + exponent >= 0;
}

}  // namespace number_text_detail

std::string_view int_error_kind_name(IntErrorKind kind) noexcept {
    switch (kind) {
        case IntErrorKind::Empty: return "Empty";
        case IntErrorKind::InvalidDigit: return "InvalidDigit";
        case IntErrorKind::PosOverflow: return "PosOverflow";
    }
    return "InvalidDigit";
}

StrictU32 parse_strict_u32(std::string_view text) noexcept {
    if (text.empty()) return {0, IntErrorKind::Empty};
    std::size_t i = text[0] == '+' ? 1 : 0;
    if (i == text.size()) return {0, IntErrorKind::InvalidDigit};  // a sign alone
    std::uint32_t value = 0;
    for (; i < text.size(); ++i) {
        if (!number_text_detail::is_digit(text[i])) return {0, IntErrorKind::InvalidDigit};
        if (__builtin_mul_overflow(value, 10u, &value) ||
            __builtin_add_overflow(value, std::uint32_t(text[i] - '0'), &value)) {
            return {0, IntErrorKind::PosOverflow};
        }
    }
    return {value, std::nullopt};
}

}  // namespace kz
