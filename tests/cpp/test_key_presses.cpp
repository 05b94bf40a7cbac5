// The clock and the press table in the core: exact sums refused where they
// would wrap, and presses of one frame in bit order.
#include "columns/key_presses.hpp"
#include "columns/time_line.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <vector>

namespace kz {
namespace {

TEST(RunningTime, ExactUntilTheFrameWhoseSumLeaves64Bits) {
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    const std::vector<std::int64_t> deltas{kMax, -1, 1, 1};
    std::vector<std::int64_t> time(deltas.size());
    EXPECT_EQ(running_time(deltas, time.data()), std::optional<std::size_t>(3));
    EXPECT_EQ(time[2], kMax);
    const std::vector<std::int64_t> fine{5, -7, 3};
    EXPECT_EQ(running_time(fine, time.data()), std::nullopt);
    EXPECT_EQ(time[2], 1);
}

TEST(KeyPresses, PressesOfOneFrameComeInBitOrderAndTheLastFrameReleases) {
    ReplayDataContainer data;
    data.mania_replay_data = Vec<ReplayEventMania>{{4, KeyMania{0b110}}, {3, KeyMania{0b011}}, {2, KeyMania{0b001}}};
    const std::optional<FrameColumns> presses = key_press_table(FrameColumns::of(data, GameMode::MANIA, {}));
    ASSERT_TRUE(presses.has_value());
    ASSERT_EQ(presses->length(), 3u);
    auto column = [&](std::size_t index) {
        std::vector<std::int64_t> out(3);
        std::memcpy(out.data(), presses->columns()[index].values.data(), 3 * sizeof(std::int64_t));
        return out;
    };
    std::vector<std::int32_t> keys(3);
    std::memcpy(keys.data(), presses->columns()[0].values.data(), sizeof(std::int32_t) * 3);
    EXPECT_EQ(keys, (std::vector<std::int32_t>{2, 4, 1}));
    EXPECT_EQ(column(1), (std::vector<std::int64_t>{4, 4, 7}));  // press_time
    EXPECT_EQ(column(2), (std::vector<std::int64_t>{9, 7, 9}));  // release_time
    EXPECT_EQ(column(4), (std::vector<std::int64_t>{0, 0, 1}));  // frame
    EXPECT_EQ(physical_keys(GameMode::STD, 0b1111), 0b1100u);    // keyboard keys hide their mouse bits
    EXPECT_EQ(physical_keys(GameMode::TAIKO, 0b1111), 0b1111u);
}

TEST(KeyPresses, KeyNamesComeFromTheTableOrTheBitsPlace) {
    EXPECT_EQ(key_name("M1=1,M2=2,K1=4", 4), "K1");
    EXPECT_EQ(key_name("M1=1,junk,M2=2x,M3=8", 8), "M3");  // entries that do not parse are passed over
    EXPECT_EQ(key_name("M1=1,M2=2", -2147483647 - 1), "bit 31");
    EXPECT_EQ(key_name("", 0), "bit -1");
}

}  // namespace
}  // namespace kz
