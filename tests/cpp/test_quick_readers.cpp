// The quick readers of frame and life-bar texts against the general rules:
// every item, common or odd, decodes and stops exactly as before.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "failure/stop.hpp"
#include "readers/life_bar.hpp"
#include "replay_events/frame_text.hpp"
#include "text/number_text.hpp"
#include "text/text_scan.hpp"

namespace kz {
namespace {

// Literal shapes around the ones the quick readers take: lengths at their
// digit limits, signs, '.', exponents, words and junk.
const char* const kFieldShapes[] = {
    "16", "0", "-1", "+5", "-0", "320", "256.75", "-12.5", "0.5", ".5", "5.", ".", "-", "+", "", "-.5", "1e3", "1E-2",
    "1e", "nan", "-inf", "x", " 1", "1x", "12.5x", "1234567", "12345678", "123456789", "1234567890", "2147483647",
    "2147483648", "-2147483648", "-2147483649", "999999999999999999", "9223372036854775807", "9223372036854775808",
    "-9223372036854775808", "123456789012345", "1234567890123456", "12345678901234567890", "0.1234567", "0.12345678",
    "1234567.5", "12345678.5", "0.000000000000001", "00000000000000000000016", "1.7976931348623157e308", "\xff",
    "-12345",
    // The shapes plays are written in: single-precision coordinates, 9999 in
    // field 2, a decimal of the play in the key mode's field 2, the opening
    // items, a decimal drum x read up to its '.'.
    "68.26667", "-3.733333", "255.7333", "9999", "15.35354", "-500", "368.3333", "368.", "368.3.3", "368x3", "-1523",
    "12.345678901234567"};

template <class Frame>
auto bits(const Frame& f) {
    if constexpr (std::is_same_v<Frame, ReplayEventKivo>) {
        return std::tuple(f.time_delta, std::bit_cast<std::uint64_t>(f.x), std::bit_cast<std::uint64_t>(f.y),
                          f.keys.bits);
    } else if constexpr (std::is_same_v<Frame, ReplayEventTaiko>) {
        return std::tuple(f.time_delta, f.x, f.keys.bits);
    } else if constexpr (std::is_same_v<Frame, ReplayEventCatch>) {
        return std::tuple(f.time_delta, std::bit_cast<std::uint64_t>(f.x), f.dashing);
    } else {
        return std::tuple(f.time_delta, f.keys.bits);
    }
}

// The frames (as bits) of a text but its last `drop`, or its stop message.
template <class Frame>
std::string outcome(std::string_view text, std::size_t drop) {
    try {
        const auto decoded = decode_frame_text<Frame>(text);
        std::string out = decoded.rng_seed ? "seed " + std::to_string(*decoded.rng_seed) : "no seed";
        for (std::size_t i = 0; i + drop < decoded.frames.size(); ++i) {
            std::apply([&](auto... v) { ((out += " " + std::to_string(v)), ...); }, bits(decoded.frames[i]));
            out += ";";
        }
        return out;
    } catch (const Stop& stop) {
        return std::string(stop.message());
    }
}

template <class Frame>
void expect_quick_matches_general(std::string_view item) {
    const std::string twice = std::string(item) + "," + std::string(item) + ",";
    // Texts this short are read by the general rules alone; a long tail puts
    // both items in reach of the quick readers (the second from the repeat
    // cache where the mode has one).
    std::string general = twice + "1|2|3|4";
    std::string quick = twice;
    for (int i = 0; i < 40; ++i) quick += "1|2|3|4,";
    quick += "1|2|3|4";
    ASSERT_LT(general.size(), 160u);
    EXPECT_EQ(outcome<Frame>(quick, 41), outcome<Frame>(general, 1)) << item;
}

template <class Frame>
void check_items(std::mt19937& rng, int count) {
    for (const char* shape : kFieldShapes) {
        for (const char* other : {"16|320|0|0", "1|2|3|4"})
            expect_quick_matches_general<Frame>(std::string(shape) + "|" + other);
    }
    std::uniform_int_distribution<std::size_t> pick(0, std::size(kFieldShapes) - 1);
    std::uniform_int_distribution<int> fields(1, 6);
    for (int i = 0; i < count; ++i) {
        std::string item;
        for (int f = fields(rng); f > 0; --f) item += std::string(kFieldShapes[pick(rng)]) + (f > 1 ? "|" : "");
        if (item.size() < 60) expect_quick_matches_general<Frame>(item);
    }
}

TEST(QuickReaders, FrameItemsDecodeAndStopAsByTheGeneralRules) {
    testing::internal::CaptureStderr();  // each stop writes its diagnostic line
    std::mt19937 rng(11);
    check_items<ReplayEventKivo>(rng, 4000);
    check_items<ReplayEventTaiko>(rng, 4000);
    check_items<ReplayEventCatch>(rng, 4000);
    check_items<ReplayEventMania>(rng, 4000);
    testing::internal::GetCapturedStderr();
}

// The outcome of a long text of `items` against each item read alone by the
// general rules: the frames in order, up to the first item that stops, whose
// message ends the text. Items of one text repeat and share prefixes, so the
// repeat cache meets every length around its key's and tails that differ
// after equal starts.
template <class Frame>
void expect_text_matches_items(const std::vector<std::string>& items) {
    std::string text, expected = "no seed";
    bool stopped = false;
    for (const std::string& item : items) {
        text += item + ",";
        if (stopped) continue;
        const std::string alone = outcome<Frame>(item + ",1|2|3|4", 1);
        if (!alone.starts_with("no seed")) {
            expected = alone;
            stopped = true;
        } else {
            expected += alone.substr(7);
        }
    }
    for (int i = 0; i < 30; ++i) text += "1|2|3|4,";
    text += "1|2|3|4";
    EXPECT_EQ(outcome<Frame>(text, stopped ? 0 : 31), expected) << text;
}

template <class Frame>
void check_mixed_texts(std::mt19937& rng) {
    const char* const starts[] = {"16|",     "17|",          "-1523|",       "0|",    "1234567890|", "16|320|",
                                  "17|128|", "16|368.3333|", "16|256.2667|", "16|0|", "16|-500|"};
    const char* const tails[] = {"9999|0", "9999|10", "15.35354|0", "15.35354|1",           "15.353541|0", "0", "0|0|0",
                                 "-500|0", "9999|",   "x|0",        "9999|0|extra|fields|", "256|-500|0",  ""};
    std::uniform_int_distribution<std::size_t> start_of(0, std::size(starts) - 1), tail_of(0, std::size(tails) - 1);
    std::uniform_int_distribution<int> length(1, 40);
    for (int text = 0; text < 300; ++text) {
        std::vector<std::string> items;
        for (int n = length(rng); n > 0; --n) items.push_back(std::string(starts[start_of(rng)]) + tails[tail_of(rng)]);
        expect_text_matches_items<Frame>(items);
    }
}

TEST(QuickReaders, TextsOfRepeatingItemsDecodeAsTheirItemsAlone) {
    testing::internal::CaptureStderr();
    std::mt19937 rng(17);
    check_mixed_texts<ReplayEventKivo>(rng);
    check_mixed_texts<ReplayEventTaiko>(rng);
    check_mixed_texts<ReplayEventCatch>(rng);
    check_mixed_texts<ReplayEventMania>(rng);
    testing::internal::GetCapturedStderr();
}

TEST(QuickReaders, FrameCapCountsEveryFrameAndStopsPastIt) {
    std::string long_text;
    for (int i = 0; i < 100; ++i) long_text += "16|0|0|0,";
    for (const std::string& text : {std::string("0|0|0|0,0|0|0|0,0|0|0|0"), long_text}) {
        const std::size_t frames = text.size() > 100 ? 100 : 3;
        EXPECT_EQ(decode_frame_text<ReplayEventMania>(text, frames).frames.size(), frames);
        EXPECT_EQ(decode_frame_text<ReplayEventKivo>(text + ",-12345|0|0|7", frames + 1).rng_seed, 7);
        try {
            decode_frame_text<ReplayEventTaiko>(text, frames - 1);
            ADD_FAILURE() << "no stop for " << frames << " frames";
        } catch (const Stop& stop) {
            EXPECT_EQ(std::string_view(stop.message()),
                      "frame text holds more than " + std::to_string(frames - 1) + " frames");
        }
    }
}

// The life-bar rules as first written, piece by piece, as the reference.
std::string reference_life_bar(std::string_view text) {
    std::string out;
    try {
        std::size_t start = 0;
        while (true) {
            const std::size_t comma = std::min(text.find(',', start), text.size());
            const std::string_view piece = text.substr(start, comma - start);
            if (const std::size_t bar = piece.find('|'); bar != std::string_view::npos) {
                const StrictU32 time = parse_strict_u32(piece.substr(0, bar));
                if (time.error) return std::string(int_error_kind_name(*time.error));
                const auto life = parse_strict_float<float>(piece.substr(bar + 1));
                if (!life) return "Error";
                out += std::to_string(time.value) + ":" + std::to_string(std::bit_cast<std::uint32_t>(*life)) + ";";
            }
            if (comma == text.size()) break;
            start = comma + 1;
        }
    } catch (...) {
        return "unexpected";
    }
    return out.empty() ? "absent" : out;
}

std::string life_bar_outcome(std::string_view text) {
    try {
        const LifeBarGraph graph = decode_life_bar_text(text);
        if (!graph) return "absent";
        std::string out;
        for (const LifeBarState& s : *graph) {
            out += std::to_string(s.time) + ":" + std::to_string(std::bit_cast<std::uint32_t>(s.life)) + ";";
        }
        return out;
    } catch (const Stop& stop) {
        const std::string message(stop.message());
        for (const char* kind : {"Empty", "InvalidDigit", "PosOverflow"}) {
            if (message.ends_with(std::string("kind: ") + kind + " }")) return kind;
        }
        return message.ends_with(": Error") ? "Error" : message;
    }
}

TEST(QuickReaders, LifeBarPiecesReadAsByTheGeneralRules) {
    const char* const times[] = {"0",          "2000", "266000", "1234567", "12345678", "123456789",     "4294967295",
                                 "4294967296", "+5",   "",       "-0",      "x",        "00000000000001"};
    const char* const lives[] = {
        "1",        "0.94",      "0",   ".5",  "5.",  "1e-1", "0.1234567", "0.12345678",
        "12345678", "1234567.5", "inf", "NaN", "1|2", "",     "x",         "0.3333333333333333"};
    testing::internal::CaptureStderr();
    std::mt19937 rng(5);
    std::uniform_int_distribution<std::size_t> time_of(0, std::size(times) - 1), life_of(0, std::size(lives) - 1);
    std::uniform_int_distribution<int> shape(0, 9);
    for (int i = 0; i < 3000; ++i) {
        // Mostly plain pieces, so that the odd one sits at every distance from the end.
        std::string text;
        for (int n = shape(rng) * 3; n >= 0; --n) {
            const bool odd = shape(rng) == 0;
            text += odd ? std::string(times[time_of(rng)]) + (shape(rng) ? "|" : "") + lives[life_of(rng)]
                        : std::to_string(n * 2000) + "|0." + std::to_string(n % 97);
            if (n > 0 || shape(rng) < 5) text += shape(rng) == 0 ? ",," : ",";
        }
        EXPECT_EQ(life_bar_outcome(text), reference_life_bar(text)) << text;
    }
    testing::internal::GetCapturedStderr();
}

TEST(QuickReaders, ByteCountMatchesAtEveryLengthAndOffset) {
    std::mt19937 rng(3);
    std::string text(700, 'x');
    for (char& c : text) c = ",|0"[rng() % 3];
    for (std::size_t start = 0; start < 20; ++start) {
        for (std::size_t size = 0; start + size <= text.size(); size += 1 + size / 8) {
            const char* p = text.data() + start;
            EXPECT_EQ(count_byte(p, p + size, ','), static_cast<std::size_t>(std::count(p, p + size, ',')));
        }
    }
}

}  // namespace
}  // namespace kz
