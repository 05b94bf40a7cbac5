// The number rules of the text fields: prefix integers, strict floats, strict unsigned.
#include "text/number_text.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <limits>
#include <random>
#include <string>

namespace kz {
namespace {

TEST(PrefixInt, SignThenLongestDigitRun) {
    const struct {
        std::string_view text;
        std::optional<std::int64_t> value;
    } cases[] = {
        {"16abc", 16},
        {"256.75", 256},
        {"-7|x", -7},
        {"+12", 12},
        {"-", 0},
        {"+x", 0},
        {"0000000000000000000000042", 42},
        {"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
        {"", {}},
        {" 16", {}},
        {"|1", {}},
        {"9223372036854775808", {}},
        {"-9223372036854775809", {}},
        {"184467440737095516160", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(parse_prefix_int<std::int64_t>(c.text), c.value) << c.text;
    EXPECT_EQ(parse_prefix_int<std::int32_t>("-2147483648"), std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(parse_prefix_int<std::int32_t>("2147483648"), std::nullopt);
}

// Bit patterns, so that -0.0 and +0.0 differ and the exact rounding shows.
std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }
std::uint32_t bits(float v) { return std::bit_cast<std::uint32_t>(v); }

template <class Float>
void expect_reads(std::string_view text, Float value) {
    const auto got = parse_strict_float<Float>(text);
    ASSERT_TRUE(got.has_value()) << text;
    EXPECT_EQ(bits(*got), bits(value)) << text;
}

TEST(StrictFloat, DoubleLiterals) {
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        std::string_view text;
        double value;
    } cases[] = {
        {"1.", 1},
        {".5", 0.5},
        {"+3", 3},
        {"1E+3", 1000},
        {"-.5", -0.5},
        {"1.e5", 1e5},
        {"-0", -0.0},
        {"Infinity", inf},
        {"-inf", -inf},
        // Out of range: the direction comes from the digits and the exponent.
        {"-1e400", -inf},
        {"-1e-400", -0.0},
        {"0.000001e315", inf},
        {"123456789e-340", 0},
        {"1e99999999999999999999999", inf},
        // Just below and above half the smallest subnormal; the largest finite value and beyond.
        {"2.4703282292062327e-324", 0},
        {"2.4703282292062328e-324", std::numeric_limits<double>::denorm_min()},
        {"1.7976931348623158e308", std::numeric_limits<double>::max()},
        {"1.7976931348623159e308", inf},
        // 2^53 + 1 is a tie (to even, down); any digit beyond it breaks the tie upwards.
        {"9007199254740993", 9007199254740992.0},
        {"9007199254740993.00000000000000000000000000001", 9007199254740994.0},
        {"0.1000000000000000055511151231257827021181583404541015625", 0.1},
        // 2^64 + 1: twenty digits whose low 64 bits alone would read as 1.
        {"18446744073709551617", 18446744073709551616.0},
    };
    for (const auto& c : cases) expect_reads<double>(c.text, c.value);
}

TEST(StrictFloat, FloatRoundsOnceFromTheDecimal) {
    const float inf = std::numeric_limits<float>::infinity();
    const struct {
        std::string_view text;
        float value;
    } cases[] = {
        {"0.1", 0.1f},
        {"1e39", inf},
        {"-1e-50", -0.0f},
        {"16777217", 16777216.0f},
        {"16777219", 16777220.0f},
        // A tie that resolves to even, and one whose tail a detour through
        // double would round away into that tie.
        {"1.000000059604644775390625", 1.0f},
        {"1.00000005960464477539062501", std::nextafter(1.0f, 2.0f)},
        {"3.4028235677973366e38", std::numeric_limits<float>::max()},
        {"3.4028235677973367e38", inf},
        {"7.0064923216240853e-46", 0.0f},
        {"7.0064923216240854e-46", std::numeric_limits<float>::denorm_min()},
    };
    for (const auto& c : cases) expect_reads<float>(c.text, c.value);
}

// Short literals take a shortcut past the general converter; both must agree bit for bit.
TEST(StrictFloat, ShortLiteralsMatchTheGeneralConverter) {
    std::mt19937_64 random(7);
    for (int i = 0; i < 20000; ++i) {
        std::string text = random() % 4 == 0 ? "-" : "";
        text += std::to_string(random() % 100000000000u >> (random() % 40));
        if (random() % 2)
            text += "." + std::to_string(random() % 100000000u >> (random() % 30)).substr(0, random() % 9);
        if (random() % 3 == 0) text += "e" + std::to_string(static_cast<int>(random() % 61) - 30);
        double d;
        float f;
        const char* end = text.data() + text.size();
        if (std::from_chars(text.data(), end, d).ec == std::errc()) expect_reads<double>(text, d);
        if (std::from_chars(text.data(), end, f).ec == std::errc()) expect_reads<float>(text, f);
    }
}

TEST(StrictFloat, NanInAnyCaseWithItsSign) {
    const auto nan = parse_strict_float<double>("+nAn");
    const auto negative = parse_strict_float<float>("-NAN");
    ASSERT_TRUE(nan && std::isnan(*nan) && !std::signbit(*nan));
    ASSERT_TRUE(negative && std::isnan(*negative) && std::signbit(*negative));
}

TEST(StrictFloat, RefusesAnythingButOneWholeLiteral) {
    for (std::string_view text :
         {"",  " 1", "1 ", "1e",  "1e+", "1.2.3",    "0x10",  "0x1p3",   "--1",       "+-1", "++1",
          ".", "+",  "e5", ".e5", "2|3", "nan(123)", "nan()", "infinit", "infinityy", "1_0"}) {
        EXPECT_EQ(parse_strict_float<double>(text), std::nullopt) << text;
        EXPECT_EQ(parse_strict_float<float>(text), std::nullopt) << text;
    }
}

TEST(StrictU32, ValuesAndErrorKinds) {
    using K = IntErrorKind;
    const struct {
        std::string_view text;
        std::uint32_t value;
        std::optional<K> error;
    } cases[] = {
        {"+5", 5, {}},
        {"00000000004294967295", 4294967295u, {}},
        {"", 0, K::Empty},
        {"+", 0, K::InvalidDigit},
        {"-0", 0, K::InvalidDigit},
        {"1.5", 0, K::InvalidDigit},
        {"429496729x", 0, K::InvalidDigit},
        {"4294967296", 0, K::PosOverflow},
        {"99999999999x", 0, K::PosOverflow},
    };
    for (const auto& c : cases) {
        const StrictU32 got = parse_strict_u32(c.text);
        EXPECT_EQ(std::pair(got.value, got.error), std::pair(c.value, c.error)) << c.text;
    }
}

}  // namespace
}  // namespace kz
