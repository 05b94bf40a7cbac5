// Float and text writers of the debug text.
#include "debug_text/debug_text.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

#include "debug_text/unicode_tables.hpp"
#include "text/utf8.hpp"

namespace kz {
namespace {

// Longest text either float form can take: sign, up to 17 significant
// digits, and either "0.000" before them, 16 integer digits, or "e-324".
constexpr std::size_t kMaxFloatText = 32;

// Grows `out` by `n` bytes and returns where they start; the caller writes
// there and trims with finish().
char* grow(String& out, std::size_t n) {
    const std::size_t old_size = out.size();
    out.resize(old_size + n);
    return out.data() + old_size;
}

void finish(String& out, const char* end) { out.resize(static_cast<std::size_t>(end - out.data())); }

template <class F>
void append_float(String& out, F value) {
    if (std::isnan(value)) {
        out.append("NaN");
        return;
    }
    const bool negative = std::signbit(value);
    if (std::isinf(value)) {
        out.append(negative ? "-inf" : "inf");
        return;
    }
    const F magnitude = std::fabs(value);
    if (magnitude == 0) {
        out.append(negative ? "-0.0" : "0.0");
        return;
    }

    // 1. Shortest round-trip digits at the value's own width: to_chars in
    //    scientific form gives "d[.ddd]e±XX", from which the digits and the
    //    decimal exponent are taken.
    char sci[kMaxFloatText];
    const auto converted = std::to_chars(sci, sci + sizeof sci, magnitude, std::chars_format::scientific);
    char digits[kMaxFloatText];
    std::size_t digit_count = 0;
    const char* p = sci;
    for (; p != converted.ptr && *p != 'e'; ++p) {
        if (*p != '.') digits[digit_count++] = *p;
    }
    int exponent = 0;
    if (p != converted.ptr) {
        ++p;  // 'e'
        const bool exponent_negative = *p == '-';
        ++p;  // to_chars always writes the exponent's sign
        for (; p != converted.ptr; ++p) exponent = exponent * 10 + (*p - '0');
        if (exponent_negative) exponent = -exponent;
    }

    // 2. Lay the digits out. The thresholds are literals of type F so that a
    //    float is compared with the float nearest 1e-4, not the double.
    char* w = grow(out, kMaxFloatText);
    if (negative) *w++ = '-';
    if (magnitude >= F(1e16) || magnitude < F(1e-4)) {
        *w++ = digits[0];
        if (digit_count > 1) {
            *w++ = '.';
            std::memcpy(w, digits + 1, digit_count - 1);
            w += digit_count - 1;
        }
        *w++ = 'e';
        w = std::to_chars(w, w + 5, exponent).ptr;
    } else if (exponent >= 0) {
        // Below 1e16 the integer part has at most 16 digits.
        const std::size_t int_digits = static_cast<std::size_t>(exponent) + 1;
        if (digit_count <= int_digits) {
            std::memcpy(w, digits, digit_count);
            w += digit_count;
            std::memset(w, '0', int_digits - digit_count);
            w += int_digits - digit_count;
            *w++ = '.';
            *w++ = '0';
        } else {
            std::memcpy(w, digits, int_digits);
            w += int_digits;
            *w++ = '.';
            std::memcpy(w, digits + int_digits, digit_count - int_digits);
            w += digit_count - int_digits;
        }
    } else {
        // From 1e-4 on, at most three zeros sit between the point and the digits.
        const std::size_t zeros = static_cast<std::size_t>(-exponent) - 1;
        *w++ = '0';
        *w++ = '.';
        std::memset(w, '0', zeros);
        w += zeros;
        std::memcpy(w, digits, digit_count);
        w += digit_count;
    }
    finish(out, w);
}

// Bytes written as themselves without further thought: printable ASCII other
// than the two that need a backslash.
constexpr bool is_plain_ascii(unsigned char c) noexcept { return c >= 0x20 && c < 0x7f && c != '"' && c != '\\'; }

void append_unicode_escape(String& out, char32_t cp) {
    char* w = grow(out, 12);
    *w++ = '\\';
    *w++ = 'u';
    *w++ = '{';
    w = std::to_chars(w, w + 6, static_cast<std::uint32_t>(cp), 16).ptr;
    *w++ = '}';
    finish(out, w);
}

}  // namespace

void append_debug_f64(String& out, double value) { append_float(out, value); }

void append_debug_f32(String& out, float value) { append_float(out, value); }

void append_debug_text(String& out, std::string_view utf8) {
    const auto* const s = reinterpret_cast<const std::uint8_t*>(utf8.data());
    const std::size_t n = utf8.size();
    out.push_back('"');
    // Characters written as themselves are copied in runs; a run ends only
    // where an escape or a replacement has to be written.
    std::size_t run_start = 0;
    std::size_t i = 0;
    auto flush = [&](std::size_t end) { out.append(utf8.data() + run_start, end - run_start); };
    while (i < n) {
        const unsigned char c = s[i];
        if (is_plain_ascii(c)) {
            ++i;
            continue;
        }
        if (c < 0x80) {
            flush(i);
            switch (c) {
                case '\0': out.append("\\0"); break;
                case '\t': out.append("\\t"); break;
                case '\r': out.append("\\r"); break;
                case '\n': out.append("\\n"); break;
                case '"': out.append("\\\""); break;
                case '\\': out.append("\\\\"); break;
                default: append_unicode_escape(out, c); break;
            }
            run_start = ++i;
            continue;
        }
        // Each maximal invalid prefix becomes one U+FFFD.
        const Utf8Step step = decode_utf8_step(s + i, n - i);
        const bool valid = step.status == Utf8Step::Status::Valid;
        if (valid && !needs_escape(step.code_point)) {
            i += step.length;
            continue;
        }
        flush(i);
        if (valid) {
            append_unicode_escape(out, step.code_point);
        } else {
            out.append("\xEF\xBF\xBD");
        }
        i += step.length;
        run_start = i;
    }
    flush(n);
    out.push_back('"');
}

}  // namespace kz
