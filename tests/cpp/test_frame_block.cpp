// The compressed frame block: length checks, whole-stream decompression, liblzma errors, per-mode slots.
#include "readers/frame_block.hpp"

#include <gtest/gtest.h>

#include "replay_bytes.hpp"

namespace kz::test {
namespace {

std::string decompressed(const ByteVec& block) { return std::string(decompress_frame_block(view_of(block)).view()); }

// About `size` bytes of frames, then the seed frame.
std::string long_frame_text(std::size_t size, std::size_t& items) {
    std::string text;
    for (items = 0; text.size() < size; ++items) {
        text += std::to_string(items % 50) + "|" + std::to_string(items % 512) + ".25|" + std::to_string(items % 384) +
                "|1,";
    }
    return text + "-12345|0|0|4242,";
}

TEST(Decompress, WholeStreamAndItsEnds) {
    std::size_t items;
    const std::string big = long_frame_text(3 << 20, items);
    const ByteVec big_block = compress_alone(big);
    EXPECT_EQ(decompressed(big_block), big);
    EXPECT_EQ(decompressed(with_declared_size(big_block, big.size())), big);

    const std::string text = "0|256|-500|0,16|100.5|200|1,-12345|0|0|777,";
    ByteVec block = compress_alone(text);
    EXPECT_EQ(decompressed(with_declared_size(block, 0)), "");  // a declared length ends the text
    EXPECT_EQ(decompressed(with_declared_size(block, 5)), "0|256");
    const std::string partial = decompressed(ByteVec(block.begin(), block.end() - 8));
    EXPECT_LT(partial.size(), text.size());
    EXPECT_EQ(partial, text.substr(0, partial.size()));
    EXPECT_EQ(decompressed(ByteVec(block.begin(), block.begin() + 13)), "");
    EXPECT_EQ(decompressed({}), "");
    block.insert(block.end(), {0xDE, 0xAD, 0xBE, 0xEF});  // after the end of the stream
    EXPECT_EQ(decompressed(block), text);
}

TEST(Decompress, LiblzmaErrors) {
    const ByteVec block = compress_alone("16|1|2|3");
    auto patched = [&](std::size_t at, std::vector<std::uint8_t> bytes) {
        ByteVec copy = block;
        std::copy(bytes.begin(), bytes.end(), copy.begin() + std::ptrdiff_t(at));
        return copy;
    };
    const std::pair<ByteVec, std::string> cases[] = {
        {patched(0, {225}), kUnwrap + "Format"},
        {compress_alone("16|1|2|3", 8u << 20), kUnwrap + "MemLimit"},
        {patched(1, {0x89, 0x00, 0x4F, 0x00}), kUnwrap + "MemLimit"},  // 5,177,481
        {patched(13, {0xFF}), kUnwrap + "Data"},                       // the range coder starts with 0
        {patched(1, {0x88, 0x00, 0x4F, 0x00}), "<no stop>"},           // 5,177,480
        {compress_alone("16|1|2|3", 4u << 20), "<no stop>"},
        {with_declared_size(block, 1ull << 40), kUnwrap + "Data"},  // claims more than the stream holds
    };
    for (const auto& [input, message] : cases) {
        EXPECT_EQ(stop_message([&] { EXPECT_EQ(decompressed(input), "16|1|2|3"); }), message);
    }
}

TEST(Decompress, TextLimit) {
    std::size_t left = kMaxFrameTextBytes + 1;
    const ByteVec bomb = compress_alone_from([&](std::uint8_t* into, std::size_t room) {
        const std::size_t n = std::min(room, left);
        std::memset(into, 0, n);
        left -= n;
        return n;
    });
    ASSERT_LT(bomb.size(), 64u << 10);
    EXPECT_EQ(stop_message([&] { decompress_frame_block(view_of(bomb)); }),
              "decompressed frame text exceeds 268435456 bytes");
    EXPECT_EQ(decompress_frame_block(view_of(with_declared_size(bomb, kMaxFrameTextBytes))).size(), kMaxFrameTextBytes);
}

TEST(FrameBlock, LengthChecks) {
    const ByteVec negative{0xFF, 0xFF, 0xFF, 0xFF, 1, 2};
    const ByteVec past_end{0x05, 0, 0, 0, 1, 2, 3, 4};
    for (const bool header_only : {true, false}) {
        auto error_of = [&](ByteView input) {
            return text_of(describe(parse_frame_block(input, ByteOrder::Little, header_only, GameMode::STD).error()));
        };
        EXPECT_EQ(stop_message([&] { error_of(view_of(negative)); }), kUnwrap + "TryFromIntError(())");
        EXPECT_EQ(error_of(view_of(past_end)), "Error(Error { input: [1, 2, 3, 4], code: Eof })");
        EXPECT_EQ(error_of(view_of(negative).first(3)), "Error(Error { input: [255, 255, 255], code: Eof })");
    }
    const ByteVec empty_then_id{0, 0, 0, 0, 42, 0, 0, 0};
    auto skipped = parse_frame_block(view_of(empty_then_id), ByteOrder::Little, true, GameMode::STD);
    EXPECT_EQ(skipped.rest().size(), 4u);
    EXPECT_FALSE(skipped.value().data.kivo_replay_data || skipped.value().rng_seed);
    EXPECT_EQ(
        stop_message([&] { (void)parse_frame_block(view_of(empty_then_id), ByteOrder::Little, false, GameMode::STD); }),
        "called `Option::unwrap()` on a `None` value");
}

TEST(FrameBlock, EachModeFillsItsOwnSlot) {
    ReplayBytes input;
    input.block(compress_alone("1|2|3|4,-12345|0|0|777")).u32(42);
    for (const GameMode mode : {GameMode::STD, GameMode::TAIKO, GameMode::CTB, GameMode::MANIA}) {
        auto result = parse_frame_block(view_of(input.bytes()), ByteOrder::Little, false, mode);
        const ReplayDataContainer& data = result.value().data;
        EXPECT_EQ(result.value().rng_seed, 777);
        EXPECT_EQ(result.rest().size(), 4u);
        EXPECT_EQ(data.kivo_replay_data == std::nullopt, mode != GameMode::STD);
        EXPECT_EQ(data.taiko_replay_data == std::nullopt, mode != GameMode::TAIKO);
        EXPECT_EQ(data.catch_replay_data == std::nullopt, mode != GameMode::CTB);
        EXPECT_EQ(data.mania_replay_data == std::nullopt, mode != GameMode::MANIA);
    }
    EXPECT_EQ(decode_frames_for_mode("1|2|3|4", GameMode::UNKNOWN).kivo_replay_data->front(),
              (ReplayEventKivo{1, 2, 3, Key{4}}));
}

TEST(FrameBlock, SeveralMebibytesDecodeToTheSeed) {
    std::size_t items;
    ReplayBytes input;
    input.block(compress_alone(long_frame_text(5 << 20, items)));
    auto result = parse_frame_block(view_of(input.bytes()), ByteOrder::Little, false, GameMode::STD);
    EXPECT_EQ(result.value().data.kivo_replay_data->size(), items);
    EXPECT_EQ(result.value().rng_seed, 4242);
}

}  // namespace
}  // namespace kz::test
