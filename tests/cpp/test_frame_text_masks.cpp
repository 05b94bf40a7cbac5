// Long frame texts, whose item ends come from masks of 64 bytes, decode and
// stop as their items do one by one, wherever the items fall against the masks.
#include <gtest/gtest.h>

#include <bit>
#include <random>
#include <string>
#include <vector>

#include "failure/stop.hpp"
#include "replay_events/frame_text.hpp"

namespace kz {
namespace {

// Items common and odd: cached shapes, long ones, empty ones, ones that stop.
const char* const kItems[] = {"16|320|0|0",
                              "17|320|0|5",
                              "16|0|0|0",
                              "15|4|0|0",
                              "-1|0|0|0",
                              "120|320|0|10",
                              "16|320|0|0|9",
                              "",
                              "|1|2|3",
                              "16",
                              "16|320",
                              "16|320|0",
                              "1x|2|3|4",
                              "+16|320|0|0",
                              "16|3.5|0|0",
                              "16|320|0|2147483648",
                              "123456789012|320|7777777777777|123",
                              "16|320|0|0                                                  x",
                              "16|320|0|1e3",
                              "x|1|2|3",
                              "16|-320|0|-4",
                              "16|320|0|0012"};

template <class Frame>
std::string frames_summary(const Vec<Frame>& frames, std::size_t drop) {
    std::string out;
    for (std::size_t i = 0; i + drop < frames.size(); ++i) {
        const Frame& f = frames[i];
        out += std::to_string(f.time_delta) + " ";
        if constexpr (std::is_same_v<Frame, ReplayEventTaiko>) {
            out += std::to_string(f.x) + " " + std::to_string(f.keys.bits);
        } else {
            out += std::to_string(f.keys.bits);
        }
        out += ";";
    }
    return out;
}

// The frames of a text but its last `drop`, or its stop message.
template <class Frame>
std::string frames_or_stop(const std::string& text, std::size_t drop) {
    try {
        return frames_summary(decode_frame_text<Frame>(text).frames, drop);
    } catch (const Stop& stop) {
        return "stop: " + std::string(stop.message());
    }
}

template <class Frame>
void check_long_texts() {
    std::mt19937 rng(17);
    std::uniform_int_distribution<std::size_t> pick(0, std::size(kItems) - 1);
    std::uniform_int_distribution<int> odd(0, 30);
    for (int round = 0; round < 300; ++round) {
        // Mostly cached shapes, so that an odd item lands at every offset of a mask.
        std::vector<std::string> items;
        for (int n = 20 + round % 50; n > 0; --n)
            items.push_back(kItems[odd(rng) == 0 ? pick(rng) : std::size_t(n % 4)]);
        std::string text;
        std::string expected;
        for (const std::string& item : items) {
            text += item + ",";
            // Each item alone, read by the general rules, then a plain last item.
            const std::string alone = frames_or_stop<Frame>(item + ",1|2|3|4", 1);
            if (expected.starts_with("stop: ")) continue;
            expected = alone.starts_with("stop: ") ? alone : expected + alone;
        }
        // A tail of plain items the quick readers cannot reach.
        for (int i = 0; i < 25; ++i) text += "1|2|3|4,";
        text += "1|2|3|4";
        EXPECT_EQ(frames_or_stop<Frame>(text, 26), expected) << text;
    }
}

TEST(FrameTextMasks, LongTextsDecodeAndStopAsTheirItemsAlone) {
    testing::internal::CaptureStderr();  // each stop writes its diagnostic line
    check_long_texts<ReplayEventTaiko>();
    check_long_texts<ReplayEventMania>();
    testing::internal::GetCapturedStderr();
}

}  // namespace
}  // namespace kz
