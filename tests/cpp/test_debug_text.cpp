// Tests of the debug text writer: floats, texts, the Unicode tables and nested records.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <string>
#include <string_view>

#include "debug_text/debug_text.hpp"
#include "debug_text/unicode_tables.hpp"
#include "replay/replay_record.hpp"

namespace kz {
namespace {

template <class T>
std::string text_of(const T& value) {
    const String s = debug_text(value);
    return std::string(s.data(), s.size());
}

std::string quoted(std::string_view utf8) {
    String out;
    append_debug_text(out, utf8);
    return std::string(out.data(), out.size());
}

struct F64Case {
    double value;
    const char* text;
    friend std::ostream& operator<<(std::ostream& os, const F64Case& c) { return os << c.text; }
};

class DebugF64 : public testing::TestWithParam<F64Case> {};

TEST_P(DebugF64, PrintsShortestRoundTripText) { EXPECT_EQ(text_of(GetParam().value), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(Table, DebugF64,
                         testing::Values(F64Case{3.0, "3.0"}, F64Case{256.0, "256.0"}, F64Case{0.5, "0.5"},
                                         F64Case{-1.0, "-1.0"}, F64Case{12345.5, "12345.5"}, F64Case{0.0, "0.0"},
                                         F64Case{-0.0, "-0.0"}, F64Case{0.30000000000000004, "0.30000000000000004"},
                                         // Exponent form below 1e-4 and from 1e16 on; plain form in between.
                                         F64Case{1e-5, "1e-5"}, F64Case{9e-5, "9e-5"}, F64Case{1.5e-5, "1.5e-5"},
                                         F64Case{0.0001, "0.0001"},
                                         F64Case{std::nextafter(0.0001, 0.0), "9.999999999999999e-5"},
                                         F64Case{0.00012345, "0.00012345"}, F64Case{1e15, "1000000000000000.0"},
                                         F64Case{9999999999999998.0, "9999999999999998.0"}, F64Case{1e16, "1e16"},
                                         F64Case{2.5e20, "2.5e20"}, F64Case{-2.5e20, "-2.5e20"},
                                         F64Case{123456789012345680.0, "1.2345678901234568e17"},
                                         // A 32-bit value widened to 64 bits keeps every digit of its exact value.
                                         F64Case{static_cast<double>(0.1f), "0.10000000149011612"},
                                         F64Case{std::numeric_limits<double>::quiet_NaN(), "NaN"},
                                         F64Case{-std::numeric_limits<double>::quiet_NaN(), "NaN"},
                                         F64Case{std::numeric_limits<double>::infinity(), "inf"},
                                         F64Case{-std::numeric_limits<double>::infinity(), "-inf"},
                                         F64Case{std::numeric_limits<double>::denorm_min(), "5e-324"},
                                         F64Case{-std::numeric_limits<double>::min(), "-2.2250738585072014e-308"},
                                         F64Case{std::numeric_limits<double>::max(), "1.7976931348623157e308"}));

struct F32Case {
    float value;
    const char* text;
    friend std::ostream& operator<<(std::ostream& os, const F32Case& c) { return os << c.text; }
};

class DebugF32 : public testing::TestWithParam<F32Case> {};

TEST_P(DebugF32, PrintsShortestRoundTripTextOfTheFloat) { EXPECT_EQ(text_of(GetParam().value), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(Table, DebugF32,
                         testing::Values(F32Case{0.1f, "0.1"}, F32Case{0.5f, "0.5"}, F32Case{1.0f, "1.0"},
                                         F32Case{-0.0f, "-0.0"}, F32Case{16777216.0f, "16777216.0"},
                                         F32Case{1e-5f, "1e-5"}, F32Case{9e-5f, "9e-5"},
                                         // The thresholds are the floats nearest 1e-4 and 1e16, not the doubles.
                                         F32Case{0.0001f, "0.0001"}, F32Case{1e16f, "1e16"},
                                         F32Case{std::nextafter(1e16f, 0.0f), "9999999000000000.0"},
                                         F32Case{std::numeric_limits<float>::quiet_NaN(), "NaN"},
                                         F32Case{std::numeric_limits<float>::infinity(), "inf"},
                                         F32Case{-std::numeric_limits<float>::infinity(), "-inf"},
                                         F32Case{std::numeric_limits<float>::denorm_min(), "1e-45"},
                                         F32Case{std::numeric_limits<float>::max(), "3.4028235e38"}));

struct TextCase {
    std::string_view input;
    std::string_view text;  // without the surrounding quotes
    friend std::ostream& operator<<(std::ostream& os, const TextCase& c) { return os << c.text; }
};

class DebugTextEscapes : public testing::TestWithParam<TextCase> {};

TEST_P(DebugTextEscapes, QuotesAndEscapes) {
    EXPECT_EQ(quoted(GetParam().input), "\"" + std::string(GetParam().text) + "\"");
}

using namespace std::string_view_literals;

INSTANTIATE_TEST_SUITE_P(Table, DebugTextEscapes,
                         testing::Values(TextCase{"", ""}, TextCase{"a\t\"b", "a\\t\\\"b"}, TextCase{"it's", "it's"},
                                         TextCase{"\0\r\n\\"sv, "\\0\\r\\n\\\\"},
                                         TextCase{"\x01\x1f\x7f", "\\u{1}\\u{1f}\\u{7f}"}, TextCase{"a b", "a b"},
                                         // Non-printable: no-break space and ideographic space (Zs), format
                                         // characters (Cf), line separator (Zl), unassigned (Cn), private use (Co).
                                         TextCase{"x\u00a0y", "x\\u{a0}y"}, TextCase{"\u3000", "\\u{3000}"},
                                         TextCase{"\u200b\ufeff", "\\u{200b}\\u{feff}"},
                                         TextCase{"\u2028", "\\u{2028}"}, TextCase{"\xcd\xb8", "\\u{378}"},
                                         TextCase{"\ue000", "\\u{e000}"}, TextCase{"\xf4\x8f\xbf\xbf", "\\u{10ffff}"},
                                         // Grapheme_Extend is escaped wherever it stands, also after a base letter.
                                         TextCase{"e\u0301", "e\\u{301}"}, TextCase{"\u0301a", "\\u{301}a"},
                                         TextCase{"\u2764\ufe0f", "\u2764\\u{fe0f}"},
                                         // Printable characters of every length stay as they are, including a
                                         // code point inside a First/Last block of the character database.
                                         TextCase{"\u00e9", "\u00e9"}, TextCase{"\u65e5\u672c", "\u65e5\u672c"},
                                         TextCase{"\U0001f600", "\U0001f600"}, TextCase{"\U00020000", "\U00020000"},
                                         // Malformed input: each maximal invalid subpart becomes one U+FFFD.
                                         TextCase{"\xff", "\ufffd"}, TextCase{"a\xe2\x82", "a\ufffd"},
                                         TextCase{"\xe2\x82z", "\ufffdz"}, TextCase{"\xc0\xaf", "\ufffd\ufffd"},
                                         TextCase{"\xed\xa0\x80", "\ufffd\ufffd\ufffd"},
                                         TextCase{"\xf4\x90\x80\x80", "\ufffd\ufffd\ufffd\ufffd"},
                                         TextCase{"\xf0\x9f\x98", "\ufffd"}));

TEST(DebugText, MalformedTailNeverReadsPastTheEnd) {
    // The view ends inside a four-byte sequence; the byte after it would complete it.
    const char bytes[] = "ab\xf0\x9f\x98\x80";
    EXPECT_EQ(quoted(std::string_view(bytes, 5)), "\"ab\ufffd\"");
}

TEST(UnicodeTables, EscapeSetBoundaries) {
    struct Case {
        char32_t cp;
        bool escaped;
    };
    const Case cases[] = {
        {0x20, false},    {0x7e, false},    {0x7f, true},     {0x9f, true},    {0xa0, true},    {0xa1, false},
        {0xad, true},     {0x36f, true},    {0x370, false},   {0x4e00, false}, {0x9fff, false}, {0xac00, false},
        {0xd7a3, false},  {0xd800, true},   {0xdfff, true},   {0xf8ff, true},  {0xfffd, false}, {0xffff, true},
        {0x10000, false}, {0x1f600, false}, {0x2a6df, false}, {0x2a6e0, true}, {0xe0001, true}, {0xe0100, true},
        {0x10ffff, true}, {0x110000, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(needs_escape(c.cp), c.escaped) << std::hex << static_cast<unsigned>(c.cp);
    }
}

TEST(DebugAppend, IntegersFlagsAndSimpleValues) {
    EXPECT_EQ(text_of(std::int8_t{-128}), "-128");
    EXPECT_EQ(text_of(std::uint8_t{255}), "255");
    EXPECT_EQ(text_of(std::int16_t{-32768}), "-32768");
    EXPECT_EQ(text_of(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808");
    EXPECT_EQ(text_of(std::numeric_limits<std::uint64_t>::max()), "18446744073709551615");
    EXPECT_EQ(text_of(true), "true");
    EXPECT_EQ(text_of(false), "false");
    EXPECT_EQ(text_of(GameMode::CTB), "CTB");
    EXPECT_EQ(text_of(Mod{72}), "Mod(72)");
    EXPECT_EQ(text_of(Mod{0x80000000u}), "Mod(2147483648)");
    EXPECT_EQ(text_of(Key{-1}), "Key(-1)");
    EXPECT_EQ(text_of(KeyMania{3}), "KeyMania(3)");
    EXPECT_EQ(text_of(std::optional<std::int32_t>{}), "None");
    EXPECT_EQ(text_of(std::optional<String>{String("x")}), "Some(\"x\")");
    EXPECT_EQ(text_of(Vec<std::int32_t>{}), "[]");
    EXPECT_EQ(text_of(Vec<std::int32_t>{1, -2, 3}), "[1, -2, 3]");
    EXPECT_EQ(text_of(std::optional<Vec<std::int32_t>>{Vec<std::int32_t>{}}), "Some([])");
}

TEST(DebugAppend, FrameRecords) {
    EXPECT_EQ(text_of(ReplayEventKivo{16, 256.5, 100, Key{1}}),
              "ReplayEventKivo { time_delta: 16, x: 256.5, y: 100.0, keys: Key(1) }");
    EXPECT_EQ(text_of(ReplayEventTaiko{16, 256, KeyTaiko{-1}}),
              "ReplayEventTaiko { time_delta: 16, x: 256, keys: KeyTaiko(-1) }");
    EXPECT_EQ(text_of(ReplayEventCatch{16, 256.5, true}),
              "ReplayEventCatch { time_delta: 16, x: 256.5, dashing: true }");
    EXPECT_EQ(text_of(ReplayEventMania{-12345, KeyMania{0}}),
              "ReplayEventMania { time_delta: -12345, keys: KeyMania(0) }");
    EXPECT_EQ(text_of(ReplayEventKivo{0, 1e16, 1e-5, Key{0}}),
              "ReplayEventKivo { time_delta: 0, x: 1e16, y: 1e-5, keys: Key(0) }");
}

TEST(DebugAppend, OptionalListOfRecords) {
    std::optional<Vec<LifeBarState>> graph{Vec<LifeBarState>{{250, 0.5f}, {4294967295u, 0.1f}}};
    EXPECT_EQ(text_of(graph),
              "Some([LifeBarState { time: 250, life: 0.5 }, "
              "LifeBarState { time: 4294967295, life: 0.1 }])");

    ReplayDataContainer container;
    container.taiko_replay_data.emplace();
    container.mania_replay_data.emplace(Vec<ReplayEventMania>{{1, KeyMania{2}}, {-3, KeyMania{-4}}});
    EXPECT_EQ(text_of(container),
              "ReplayDataContainer { kivo_replay_data: None, taiko_replay_data: Some([]), "
              "catch_replay_data: None, mania_replay_data: Some([ReplayEventMania { time_delta: "
              "1, keys: KeyMania(2) }, ReplayEventMania { time_delta: -3, keys: KeyMania(-4) }]) }");
}

Replay header_only_replay() {
    Replay r;
    r.mode = GameMode::STD;
    r.game_version = 7;
    r.count_300 = 512;
    r.count_100 = 20;
    r.count_50 = 1;
    r.count_geki = 90;
    r.count_katu = 12;
    r.count_miss = 0;
    r.score = 1234;
    r.max_combo = 700;
    r.perfect = false;
    r.mods = Mod{72};
    r.life_bar_graph.emplace(Vec<LifeBarState>{{0, 1.0f}});
    r.timestamp = 42;
    r.replay_id = 0;
    return r;
}

TEST(DebugAppend, HeaderOnlyReplay) {
    EXPECT_EQ(text_of(header_only_replay()),
              "Replay { mode: STD, game_version: 7, beatmap_hash: None, username: None, "
              "replay_hash: None, count_300: 512, count_100: 20, count_50: 1, count_geki: 90, "
              "count_katu: 12, count_miss: 0, score: 1234, max_combo: 700, perfect: false, "
              "mods: Mod(72), life_bar_graph: Some([LifeBarState { time: 0, life: 1.0 }]), "
              "timestamp: 42, replay_data: ReplayDataContainer { kivo_replay_data: None, "
              "taiko_replay_data: None, catch_replay_data: None, mania_replay_data: None }, "
              "rng_seed: None, replay_id: 0 }");
}

TEST(DebugAppend, ReplayWithTextsSeedAndLargeId) {
    Replay r = header_only_replay();
    r.mode = GameMode::UNKNOWN;
    r.beatmap_hash = String("");
    r.username = String("a\"b");
    r.life_bar_graph.reset();
    r.rng_seed = -5;
    r.replay_id = std::numeric_limits<std::uint64_t>::max();
    EXPECT_EQ(text_of(r),
              "Replay { mode: UNKNOWN, game_version: 7, beatmap_hash: Some(\"\"), "
              "username: Some(\"a\\\"b\"), replay_hash: None, count_300: 512, count_100: 20, "
              "count_50: 1, count_geki: 90, count_katu: 12, count_miss: 0, score: 1234, "
              "max_combo: 700, perfect: false, mods: Mod(72), life_bar_graph: None, "
              "timestamp: 42, replay_data: ReplayDataContainer { kivo_replay_data: None, "
              "taiko_replay_data: None, catch_replay_data: None, mania_replay_data: None }, "
              "rng_seed: Some(-5), replay_id: 18446744073709551615 }");
}

TEST(DebugAppend, AppendsAfterExistingText) {
    String out("called `Result::unwrap()` on an `Err` value: ");
    append_debug(out, Key{5});
    EXPECT_EQ(std::string(out.data(), out.size()), "called `Result::unwrap()` on an `Err` value: Key(5)");
}

}  // namespace
}  // namespace kz
