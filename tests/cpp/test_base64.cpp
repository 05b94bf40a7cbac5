// Base64 text: whole groups, wrapped lines and optional padding decode alike,
// and a fault is placed at its first character.
#include "text/base64.hpp"

#include <gtest/gtest.h>

#include <string>

namespace kz {
namespace {

std::string decoded(std::string_view text) {
    Vec<std::uint8_t> out;
    const auto error = decode_base64(text, out);
    if (error) return "error at " + std::to_string(error->offset) + ": " + std::string(error->reason);
    return std::string(out.begin(), out.end());
}

TEST(Base64, GroupsSpacesAndPaddingDecodeAlike) {
    EXPECT_EQ(decoded("aGVsbG8gd29ybGQ="), "hello world");
    EXPECT_EQ(decoded("aGVsbG8gd29ybGQ"), "hello world");            // padding is optional
    EXPECT_EQ(decoded("aGVs\nbG8g d29y\r\nbGQ=\n"), "hello world");  // wrapped lines leave the fast path
    EXPECT_EQ(decoded(""), "");
    EXPECT_EQ(decoded("+/+/"), "\xfb\xff\xbf");
}

TEST(Base64, AFaultIsPlacedAtItsFirstCharacter) {
    EXPECT_EQ(decoded("aGVsbG8-d29y"), "error at 7: not a base64 digit");
    EXPECT_EQ(decoded("aGVsb"), "error at 5: the text ends inside a group");
    EXPECT_EQ(decoded("aG=sbG8"), "error at 3: a digit after the padding");
    EXPECT_EQ(decoded("a==="), "error at 1: padding where a group has fewer than two digits");
    EXPECT_EQ(decoded("aGVsbG8gd29ybGQ=\n=="), "error at 17: more padding than the group needs");
    EXPECT_EQ(decoded("aGVsbG8gd29ybA===="), "error at 16: more padding than the group needs");
}

}  // namespace
}  // namespace kz
