// Salvage of damaged files: the header fields before a cut, the frames of the
// text decompressed so far, the frames before a bad item.
#include "salvage/salvaged_replay.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "readers/frame_block.hpp"
#include "replay_bytes.hpp"

namespace kz::test {
namespace {

constexpr std::size_t kFrameBlockRow = layout::kFrameBlockIndex;

// Frames of a play: enough items that a cut block keeps some and loses some.
std::string play_text(std::size_t items) {
    std::string text;
    for (std::size_t item = 0; item < items; ++item) {
        text += std::to_string(item % 40 + 1) + "|" + std::to_string(item % 512) + ".5|" + std::to_string(item % 384) +
                "|" + std::to_string(item % 3) + ",";
    }
    return text + "-12345|0|0|4242,";
}

ByteVec file_with_text(std::string_view text, std::uint8_t mode = 0) {
    return header_through_timestamp(mode).block(compress_alone(text)).u64(99).bytes();
}

std::vector<ReplayEventKivo> kivo_frames(const ReplayDataContainer& data) {
    if (!data.kivo_replay_data) return {};
    const auto& frames = data.kivo_replay_data->frames();
    return {frames.begin(), frames.end()};
}

std::size_t count_read(const SalvagedReplay& salvaged) { return salvaged.fields_read.count(); }

// Every cut inside the header keeps exactly the fields that end before it.
TEST(Salvage, CutHeaderKeepsTheFieldsBeforeTheCut) {
    const ByteVec whole = file_with_text(play_text(4));
    // Where each header field ends (header_through_timestamp's layout).
    const std::vector<std::size_t> ends{1, 5, 23, 31, 32, 34, 36, 38, 40, 42, 44, 48, 50, 51, 55, 69, 77};
    ASSERT_EQ(ends.size(), kFrameBlockRow);
    for (std::size_t cut = 0; cut < ends.back(); ++cut) {
        const SalvagedReplay salvaged = salvage_replay(ByteView(whole.data(), cut), false);
        const auto whole_fields = static_cast<std::size_t>(
            std::count_if(ends.begin(), ends.end(), [&](std::size_t end) { return end <= cut; }));
        EXPECT_EQ(count_read(salvaged), whole_fields) << "cut at " << cut;
        for (std::size_t row = 0; row < whole_fields; ++row) EXPECT_TRUE(salvaged.fields_read.test(row)) << cut;
        EXPECT_TRUE(salvaged.failure.cause == FailureCause::Eof || salvaged.failure.cause == FailureCause::EofInLength)
            << cut;
        EXPECT_EQ(salvaged.failure.field, whole_fields) << cut;
        EXPECT_FALSE(salvaged.frames_partial);
        EXPECT_EQ(salvaged.replay.username.has_value(), cut >= 31) << cut;
    }
    const SalvagedReplay header = salvage_replay(ByteView(whole.data(), ends.back()), false);
    EXPECT_EQ(count_read(header), kFrameBlockRow);
    EXPECT_EQ(header.replay.timestamp, 0x0123456789ABCDEFll);
    ASSERT_TRUE(header.replay.life_bar_graph);
    EXPECT_EQ(header.replay.life_bar_graph->size(), 2u);

    ByteVec unknown_mode = whole;
    unknown_mode[0] = 9;
    const SalvagedReplay unknown = salvage_replay(view_of(unknown_mode), false);
    EXPECT_EQ(unknown.failure.cause, FailureCause::UnknownMode);
    EXPECT_EQ(count_read(unknown), kFrameBlockRow - 1);  // every header field but the mode
    EXPECT_FALSE(unknown.fields_read.test(0));
}

// A block cut short gives the frames of the text decompressed so far, its
// partial last item dropped: the frames of that prefix of the intact text.
TEST(Salvage, CutBlockGivesTheFramesOfTheTextSoFar) {
    const std::string text = play_text(3000);
    const ByteVec block = compress_alone(text);
    const ByteVec whole = header_through_timestamp(0).block(block).u64(99).bytes();
    const std::size_t block_start = whole.size() - 8 - block.size();
    for (const std::size_t kept : {std::size_t{13}, block.size() / 3, block.size() - 20}) {
        const SalvagedReplay salvaged = salvage_replay(ByteView(whole.data(), block_start + kept), false);
        EXPECT_EQ(salvaged.failure.cause, FailureCause::Eof);
        EXPECT_EQ(salvaged.failure.field, kFrameBlockRow);
        EXPECT_EQ(count_read(salvaged), kFrameBlockRow);
        EXPECT_TRUE(salvaged.frames_partial);

        const std::string so_far(decompress_frame_block(ByteView(block.data(), kept)).view());
        ASSERT_EQ(so_far, text.substr(0, so_far.size()));
        const std::size_t comma = so_far.rfind(',');
        const auto expected = comma == std::string::npos
                                  ? std::vector<ReplayEventKivo>{}
                                  : kivo_frames(decode_frames_for_mode(so_far.substr(0, comma + 1), GameMode::STD));
        EXPECT_EQ(kivo_frames(salvaged.replay.replay_data), expected) << kept;
        EXPECT_TRUE(salvaged.replay.replay_data.kivo_replay_data.has_value());
        EXPECT_LT(expected.size(), 3000u);
    }
}

// A bad item keeps the frames before it; a missing online id keeps the frames whole.
TEST(Salvage, BadItemKeepsTheFramesBeforeIt) {
    const std::string good = "16|1.5|2|0,17|3|4|1,";
    const SalvagedReplay bad = salvage_replay(view_of(file_with_text(good + "18|x|5|0,19|6|7|0,")), false);
    EXPECT_EQ(bad.failure.cause, FailureCause::BadFrameItem);
    EXPECT_EQ(bad.failure.item, 2u);
    EXPECT_TRUE(bad.frames_partial);
    EXPECT_FALSE(bad.fields_read.test(kFrameBlockRow));
    EXPECT_EQ(kivo_frames(bad.replay.replay_data), kivo_frames(decode_frames_for_mode(good, GameMode::STD)));

    const SalvagedReplay first_bad = salvage_replay(view_of(file_with_text("x|1|2|0," + good)), false);
    ASSERT_TRUE(first_bad.replay.replay_data.kivo_replay_data.has_value());
    EXPECT_TRUE(kivo_frames(first_bad.replay.replay_data).empty());

    ByteVec no_id = file_with_text(good + "-12345|0|0|4242,");
    no_id.resize(no_id.size() - 6);  // two bytes of the id left
    const SalvagedReplay whole_frames = salvage_replay(view_of(no_id), false);
    EXPECT_EQ(whole_frames.failure.field, layout::kReplayIdIndex);
    EXPECT_FALSE(whole_frames.frames_partial);
    EXPECT_EQ(count_read(whole_frames), layout::kFieldCount - 1);
    EXPECT_EQ(whole_frames.replay.rng_seed, 4242);
    EXPECT_EQ(kivo_frames(whole_frames.replay.replay_data).size(), 2u);
}

}  // namespace
}  // namespace kz::test
