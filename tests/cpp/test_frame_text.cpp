// Frame text of every play mode: records, skipped items, the seed frame and the stop messages.
#include "replay_events/frame_text.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "failure/stop.hpp"

namespace kz {
namespace {

using Kivo = ReplayEventKivo;
constexpr std::int32_t kI32Min = std::numeric_limits<std::int32_t>::min();

template <class Frame>
std::vector<Frame> frames_of(std::string_view text) {
    const auto decoded = decode_frame_text<Frame>(text);
    return {decoded.frames.begin(), decoded.frames.end()};
}

template <class Frame>
std::string stop_text(std::string_view text) {
    try {
        decode_frame_text<Frame>(text);
    } catch (const Stop& stop) {
        return std::string(stop.message().data(), stop.message().size());
    }
    return "-";
}

TEST(FrameText, SeedFrameRule) {
    const struct {
        std::string_view text;
        std::vector<std::int64_t> deltas;
        std::optional<std::int32_t> seed;
    } cases[] = {
        {"0|256|-500|0,-1|256|-500|0,16|100.5|200|1,-12345|0|0|777,", {0, -1, 16}, 777},
        {"0|256|-500|0,-1|256|-500|0,16|100.5|200|1,", {0, -1, 16}, {}},
        {"-12345|0|0|-2147483648|junk,", {}, kI32Min},
        {"16|1|2|3,-12345|0|0|5,,", {16, -12345}, {}},
        {"16|1|2|3,-12345|0|0|5,20|1|2|3", {16, -12345, 20}, {}},
        {"-12345|0|0|5,16|1|2|3,|1|2|3", {-12345, 16}, {}},
        // The marker and the seed's item need not be the same: a skipped last item still carries it.
        {"-12345|0|0|5,|1|2|9", {}, 9},
        {"|1|2|3,16x|1|2|3|9|9,-|1|2|3", {16, 0}, {}},
    };
    for (const auto& c : cases) {
        const auto decoded = decode_frame_text<Kivo>(c.text);
        std::vector<std::int64_t> deltas;
        for (const Kivo& f : decoded.frames) deltas.push_back(f.time_delta);
        EXPECT_EQ(std::pair(deltas, decoded.rng_seed), std::pair(c.deltas, c.seed)) << c.text;
    }
}

TEST(FrameText, RecordsOfEveryMode) {
    EXPECT_EQ(frames_of<Kivo>("16|256.75|-0.5|5,-1|1e3|-.5|-1|x"),
              (std::vector<Kivo>{{16, 256.75, -0.5, Key{5}}, {-1, 1000.0, -0.5, Key{-1}}}));
    EXPECT_EQ(frames_of<ReplayEventTaiko>("16|256.75|anything|1,9223372036854775807|-3||-2147483648"),
              (std::vector<ReplayEventTaiko>{{16, 256, KeyTaiko{1}}, {9223372036854775807, -3, KeyTaiko{kI32Min}}}));
    EXPECT_EQ(
        frames_of<ReplayEventCatch>("1|0.5|x|1,2|0|x|01,3|0|x|1abc,4|0|x|0,5|0|x|2"),
        (std::vector<ReplayEventCatch>{{1, 0.5, true}, {2, 0, true}, {3, 0, true}, {4, 0, false}, {5, 0, false}}));
    // In key mode the marker's keys field is its field 1: the 'x' in field 3 is never read.
    const auto mania = decode_frame_text<ReplayEventMania>("16|1|2,-12345|0|0|x,");
    EXPECT_EQ((std::vector<ReplayEventMania>(mania.frames.begin(), mania.frames.end())),
              (std::vector<ReplayEventMania>{{16, KeyMania{1}}, {-12345, KeyMania{0}}}));
    EXPECT_EQ(mania.rng_seed, std::nullopt);
    const auto special = frames_of<Kivo>("16|NaN|-Infinity|0");
    EXPECT_TRUE(std::isnan(special[0].x) && special[0].y == -std::numeric_limits<double>::infinity());
}

std::string index_message(int len, int index) {
    return "index out of bounds: the len is " + std::to_string(len) + " but the index is " + std::to_string(index);
}

TEST(FrameText, StopsInTheOrderFieldsAreChecked) {
    const std::string none = "called `Option::unwrap()` on a `None` value";
    const std::string error = "called `Result::unwrap()` on an `Err` value: Error";
    const struct {
        std::string_view text;
        std::string kivo, taiko, ctb, mania;
    } cases[] = {
        {"", none, none, none, none},
        {"|1|2|3,,|4", none, none, none, none},
        {"1|2|3|4, 16|1|2|3", none, none, none, none},
        {"9223372036854775808|1|2|3", none, none, none, none},
        {"16", index_message(1, 1), index_message(1, 1), index_message(1, 1), index_message(1, 1)},
        {"1|2|3|4,16|1|2", index_message(3, 3), index_message(3, 3), index_message(3, 3), "-"},
        {"16|5", index_message(2, 2), index_message(2, 3), index_message(2, 3), "-"},
        {"16|abc", error, none, error, none},
        {"16| 1.5|2|3", error, none, error, none},
        {"16|\xff|2|3", error, none, error, none},
        {"16|1|1e|3", error, "-", "-", "-"},
        {"16|1|2|2147483648", none, none, none, "-"},
        {"16|1|2|3,-12345|0|0|x,", none, none, none, "-"},
    };
    for (const auto& c : cases) {
        const std::string got[] = {stop_text<Kivo>(c.text), stop_text<ReplayEventTaiko>(c.text),
                                   stop_text<ReplayEventCatch>(c.text), stop_text<ReplayEventMania>(c.text)};
        const std::string want[] = {c.kivo, c.taiko, c.ctb, c.mania};
        for (int mode = 0; mode < 4; ++mode) EXPECT_EQ(got[mode], want[mode]) << c.text << " mode " << mode;
    }
}

}  // namespace
}  // namespace kz
