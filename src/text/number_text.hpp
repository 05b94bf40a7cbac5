// Number rules of the replay's text fields: the lenient prefix integer of the frame
// text, the strict float literal, and the strict unsigned integer of the life bar.
// Pure and allocation-free; failures are returned as values, never thrown.
#pragma once

#include <cfloat>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <system_error>
#include <type_traits>

namespace kz {

namespace number_text_detail {

constexpr bool is_digit(char c) noexcept { return static_cast<unsigned char>(c - '0') < 10; }

// Lower-cases ASCII letters only; other bytes never match a letter after this.
constexpr char ascii_lower(char c) noexcept { return (c >= 'A' && c <= 'Z') ? char(c | 0x20) : c; }

constexpr bool starts_with_word(const char* p, const char* end, std::string_view word) noexcept {
    if (static_cast<std::size_t>(end - p) < word.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i) {
        if (ascii_lower(p[i]) != word[i]) return false;
    }
    return true;
}

// Bounds within which mantissa and power of ten are exact in the target type.
template <class Float>
struct FastPathLimits;
template <>
struct FastPathLimits<double> {
    static constexpr std::uint64_t max_mantissa = std::uint64_t(1) << 53;
    static constexpr std::int64_t max_power = 22;
    static constexpr double powers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                        1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
};
template <>
struct FastPathLimits<float> {
    static constexpr std::uint64_t max_mantissa = std::uint64_t(1) << 24;
    static constexpr std::int64_t max_power = 10;
    static constexpr float powers[] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f, 1e6f, 1e7f, 1e8f, 1e9f, 1e10f};
};

// For a decimal literal whose conversion fell outside the target range: true
// when it is too large (an infinity), false when too small (a zero). `body`
// starts after the sign and ends at the literal's end.
bool decimal_literal_is_large(const char* body, const char* end) noexcept;

}  // namespace number_text_detail

// Prefix integer rule: an optional '+' or '-', then the longest run of ASCII
// digits (possibly empty, which reads as 0); whatever follows is ignored.
// Returns the position after the digits, or nullptr when the first byte is
// neither sign nor digit, the input is empty, or the value does not fit Int.
template <class Int>
inline const char* read_prefix_int(const char* p, const char* end, Int& out) noexcept {
    static_assert(std::is_signed_v<Int> && std::is_integral_v<Int>);
    using number_text_detail::is_digit;
    using U = std::make_unsigned_t<Int>;
    if (p == end) return nullptr;
    bool negative = false;
    if (*p == '-' || *p == '+') {
        negative = *p == '-';
        ++p;
    } else if (!is_digit(*p)) {
        return nullptr;
    }
    // The magnitude of the most negative value is one more than the maximum.
    const U limit = U(std::numeric_limits<Int>::max()) + (negative ? 1u : 0u);
    U value = 0;
    for (; p != end && is_digit(*p); ++p) {
        if (__builtin_mul_overflow(value, U(10), &value) || __builtin_add_overflow(value, U(*p - '0'), &value) ||
            value > limit) {
            return nullptr;
        }
    }
    // Unsigned to signed conversion is modular, so 0 - 2^63 becomes INT64_MIN.
    out = static_cast<Int>(negative ? U(U(0) - value) : value);
    return p;
}

// The prefix integer rule applied to a whole field.
template <class Int>
inline std::optional<Int> parse_prefix_int(std::string_view field) noexcept {
    Int value{};
    if (read_prefix_int(field.data(), field.data() + field.size(), value) == nullptr) return std::nullopt;
    return value;
}

// Strict float literal starting at p: an optional sign; digits with an
// optional '.', at least one digit in all; an optional exponent with at least
// one digit; or "nan", "inf", "infinity" in any case. The value is the literal
// correctly rounded to Float (ties to even), an infinity or zero of the
// literal's sign when out of range. Returns the end of the literal, or nullptr
// when no literal starts at p. The caller decides what may follow it.
template <class Float>
inline const char* read_float_literal(const char* p, const char* end, Float& out) noexcept {
    static_assert(std::is_same_v<Float, float> || std::is_same_v<Float, double>);
    using number_text_detail::is_digit;
    const char* const start = p;
    bool negative = false;
    if (p != end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    const char* const body = p;
    // The digits are gathered while the grammar is checked; with few enough
    // of them the value needs no call of the general converter.
    const char* q = p;
    std::uint64_t mantissa = 0;  // wraps past 19 digits; only used when there are fewer
    while (q != end && is_digit(*q)) mantissa = mantissa * 10 + std::uint64_t(*q++ - '0');
    std::size_t digit_count = static_cast<std::size_t>(q - body);
    std::size_t fraction_count = 0;
    if (q != end && *q == '.') {
        const char* const fraction = ++q;
        while (q != end && is_digit(*q)) mantissa = mantissa * 10 + std::uint64_t(*q++ - '0');
        fraction_count = static_cast<std::size_t>(q - fraction);
        digit_count += fraction_count;
    }
    if (digit_count == 0) {
        using number_text_detail::starts_with_word;
        // Negation, not multiplication, so that "-nan" keeps its sign bit.
        const auto with_sign = [negative](Float v) { return negative ? -v : v; };
        if (starts_with_word(body, end, "nan")) {
            out = with_sign(std::numeric_limits<Float>::quiet_NaN());
            return body + 3;
        }
        if (starts_with_word(body, end, "infinity")) {
            out = with_sign(std::numeric_limits<Float>::infinity());
            return body + 8;
        }
        if (starts_with_word(body, end, "inf")) {
            out = with_sign(std::numeric_limits<Float>::infinity());
            return body + 3;
        }
        return nullptr;
    }
    std::int64_t exponent = 0;  // saturates; a large one just leaves the fast path
    if (q != end && (*q == 'e' || *q == 'E')) {
        const char* x = q + 1;
        bool negative_exponent = false;
        if (x != end && (*x == '+' || *x == '-')) negative_exponent = *x++ == '-';
        const char* const exponent_digits = x;
        for (; x != end && is_digit(*x); ++x) {
            if (exponent < 100000) exponent = exponent * 10 + (*x - '0');
        }
        if (x == exponent_digits) return nullptr;  // an exponent mark needs digits
        if (negative_exponent) exponent = -exponent;
        q = x;
    }
    // Fast path: a mantissa and a power of ten that are both exact in Float
    // give the correctly rounded value in one IEEE multiplication or division,
    // provided the arithmetic is done in Float itself (not in wider registers).
    using Limits = number_text_detail::FastPathLimits<Float>;
    const std::int64_t power = exponent - static_cast<std::int64_t>(fraction_count);
    if (FLT_EVAL_METHOD == 0 && digit_count <= 19 && mantissa <= Limits::max_mantissa && power >= -Limits::max_power &&
        power <= Limits::max_power) {
        const Float m = static_cast<Float>(mantissa);
        const Float scaled = power < 0 ? m / Limits::powers[-power] : m * Limits::powers[power];
        out = negative ? -scaled : scaled;
        return q;
    }
    // from_chars takes '-' but not '+', so a '+' is stepped over.
    const auto [ptr, ec] = std::from_chars(negative ? start : body, q, out, std::chars_format::general);
    if (ec == std::errc::result_out_of_range) {
        // from_chars leaves the value untouched here; the direction decides it.
        const Float magnitude =
            number_text_detail::decimal_literal_is_large(body, q) ? std::numeric_limits<Float>::infinity() : Float(0);
        out = negative ? -magnitude : magnitude;
        return q;
    }
    if (ec != std::errc() || ptr != q) return nullptr;
    return q;
}

// The strict float rule applied to a whole field: the literal must fill it.
template <class Float>
inline std::optional<Float> parse_strict_float(std::string_view field) noexcept {
    Float value{};
    const char* const end = field.data() + field.size();
    if (read_float_literal(field.data(), end, value) != end) return std::nullopt;
    return value;
}

// Why a strict unsigned integer was refused.
enum class IntErrorKind : std::uint8_t { Empty, InvalidDigit, PosOverflow };

// "Empty", "InvalidDigit" or "PosOverflow".
std::string_view int_error_kind_name(IntErrorKind kind) noexcept;

// Value or error kind of the strict unsigned rule.
struct StrictU32 {
    std::uint32_t value = 0;
    std::optional<IntErrorKind> error;
};

// Strict unsigned 32-bit rule: an optional '+', then one or more digits and
// nothing else. Bytes are checked left to right, so the first offending byte
// decides between InvalidDigit and PosOverflow.
StrictU32 parse_strict_u32(std::string_view text) noexcept;

}  // namespace kz
