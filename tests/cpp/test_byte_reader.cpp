// Decode error texts, number readers, strings and UTF-8 validation.
#include "readers/byte_reader.hpp"

#include <gtest/gtest.h>

#include "text/utf8.hpp"
#include "replay_bytes.hpp"

namespace kz::test {
namespace {

TEST(DecodeErrorText, EveryForm) {
    const ByteVec bytes{0, 9, 10, 99, 100, 255};
    DecodeError failure = DecodeError::error(view_of(bytes), ErrorKind::TooLarge);
    failure.form = DecodeError::Form::Failure;
    EXPECT_EQ(text_of(describe(DecodeError::incomplete(1))), "Incomplete(Size(1))");
    EXPECT_EQ(text_of(describe(DecodeError::incomplete(std::nullopt))), "Incomplete(Unknown)");
    EXPECT_EQ(text_of(describe(DecodeError::eof(view_of(bytes).first(2)))),
              "Error(Error { input: [0, 9], code: Eof })");
    EXPECT_EQ(text_of(describe(DecodeError::eof({}))), "Error(Error { input: [], code: Eof })");
    EXPECT_EQ(text_of(describe(failure)), "Failure(Error { input: [0, 9, 10, 99, 100, 255], code: TooLarge })");
}

TEST(NumberReaders, OrderSignAndShortInput) {
    const ByteVec b{0x34, 0x12, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x02};
    const ByteView all = view_of(b);
    EXPECT_EQ(parse_u16(all, ByteOrder::Little).value(), 0x1234);
    EXPECT_EQ(parse_u16(all, ByteOrder::Little).rest().data(), all.data() + 2);
    EXPECT_EQ(parse_u16(all, ByteOrder::Big).value(), 0x3412);
    EXPECT_EQ(parse_i32(all.subspan(2), ByteOrder::Little).value(), -1);
    EXPECT_EQ(parse_u32(all.subspan(2), ByteOrder::Little).value(), 0xFFFFFFFFu);
    EXPECT_EQ(parse_u64(all, ByteOrder::Big).value(), 0x3412FFFFFFFF0102ull);
    EXPECT_EQ(text_of(describe(parse_u16(all.subspan(7), ByteOrder::Little).error())),
              "Error(Error { input: [2], code: Eof })");
    EXPECT_EQ(text_of(describe(parse_u64(all.first(3), ByteOrder::Little).error())),
              "Error(Error { input: [52, 18, 255], code: Eof })");
    // 19 length bytes: bits above 127 of the last one are dropped.
    ByteVec longest(18, 0xFF);
    longest.push_back(0x03);
    EXPECT_TRUE(parse_uleb128(view_of(longest)).value() == ~static_cast<unsigned __int128>(0));
}

TEST(ParseString, ValuesAndDecodeErrors) {
    const std::pair<ByteVec, std::string> cases[] = {
        {{0x00, 0x41}, "absent, 1 left"},
        {{0x0B, 0x00, 0x41}, "'', 1 left"},
        {{0x0B, 0x80, 0x00}, "'', 0 left"},
        {{0x0B, 0x03, 'a', 'b', 'c', 'd'}, "'abc', 1 left"},
        {{}, "Error(Error { input: [], code: Eof })"},
        {{0x0B}, "Incomplete(Size(1))"},
        {{0x0B, 0x81}, "Incomplete(Size(1))"},
        {{0x0B, 0x05, 'a', 'b'}, "Error(Error { input: [97, 98], code: Eof })"},
        // A declared 2^63 bytes with two present: refused before any allocation.
        {{0x0B, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01, 'a', 'b'},
         "Error(Error { input: [97, 98], code: Eof })"},
        {{0x0B, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
          0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 7},
         "Error(Error { input: [255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, "
         "255, 255, 7], code: TooLarge })"},
    };
    for (const auto& [input, expected] : cases) {
        auto result = parse_string(view_of(input), kNoField, "x");
        std::string seen = !result          ? text_of(describe(result.error()))
                           : result.value() ? "'" + text_of(*result.value()) + "'"
                                            : "absent";
        if (result) seen += ", " + std::to_string(result.rest().size()) + " left";
        EXPECT_EQ(seen, expected);
    }
}

TEST(ParseString, Stops) {
    const std::tuple<ByteVec, std::string_view, std::string> cases[] = {
        {{0x0C}, "username", "Expected the first byte of a string to be 0x00 or 0x0b, but got, 12, username"},
        {{0xFF, 0x00},
         "beatmap_hash",
         "Expected the first byte of a string to be 0x00 or 0x0b, but got, 255, beatmap_hash"},
        {{0x0B, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x02}, "x", kUnwrap + "TryFromIntError(())"},
        {{0x0B, 0x02, 0xC3, 0x28},
         "x",
         kUnwrap + "FromUtf8Error { bytes: [195, 40], error: Utf8Error { valid_up_to: 0, error_len: Some(1) } }"},
        {{0x0B, 0x04, 'o', 'k', 0xE2, 0x82},
         "x",
         kUnwrap +
             "FromUtf8Error { bytes: [111, 107, 226, 130], error: Utf8Error { valid_up_to: 2, error_len: None } }"},
    };
    for (const auto& [input, name, message] : cases) {
        EXPECT_EQ(stop_message([&] { (void)parse_string(view_of(input), kNoField, name); }), message);
    }
}

TEST(Utf8, FirstInvalidSequence) {
    const std::optional<std::uint8_t> cut = std::nullopt;
    const std::pair<ByteVec, std::optional<Utf8Error>> cases[] = {
        {{0xC2, 0x80, 0xE0, 0xA0, 0x80, 0xED, 0x9F, 0xBF, 0xF0, 0x90, 0x80, 0x80, 0xF4, 0x8F, 0xBF, 0xBF},
         std::nullopt},
        {{0x80}, Utf8Error{0, 1}},                    // lone continuation
        {{0xC0, 0x80}, Utf8Error{0, 1}},              // overlong
        {{0xE0, 0x80, 0x80}, Utf8Error{0, 1}},        // overlong
        {{0xED, 0xA0, 0x80}, Utf8Error{0, 1}},        // surrogate
        {{0xF0, 0x80, 0x80, 0x80}, Utf8Error{0, 1}},  // overlong
        {{0xF4, 0x90, 0x80, 0x80}, Utf8Error{0, 1}},  // above U+10FFFF
        {{0xF5, 0x80}, Utf8Error{0, 1}},
        {{'a', 0xE2, 0x28}, Utf8Error{1, 1}},
        {{0xE2, 0x82, 0x28}, Utf8Error{0, 2}},
        {{0xF0, 0x9F, 0x98, 0x28}, Utf8Error{0, 3}},
        {{0xF0, 0x9F, 0x98}, Utf8Error{0, cut}},
        {{0xC3}, Utf8Error{0, cut}},
        {{0xE0, 0x80}, Utf8Error{0, 1}},  // a bad second byte counts even at the end
        {{'0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 0xFF}, Utf8Error{10, 1}},  // after the ASCII fast path
    };
    for (const auto& [bytes, error] : cases) EXPECT_EQ(validate_utf8(view_of(bytes)), error);
}

}  // namespace
}  // namespace kz::test
