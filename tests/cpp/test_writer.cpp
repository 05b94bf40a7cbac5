// The writing core: numbers as text, frame text in chunks from records and
// columns, the compressed block, whole files read back by the parser, and
// the failures it returns instead of writing what the reader refuses.
#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "readers/frame_block.hpp"
#include "replay_decode/replay_parser.hpp"
#include "replay_events/frame_text.hpp"
#include "writer/number_format.hpp"
#include "writer/replay_writer.hpp"

namespace kz {
namespace {

template <class Float>
std::string shortest(Float value) {
    char buffer[kMaxNumberBytes];
    return std::string(buffer, write_shortest(buffer, value));
}

TEST(WriterNumbers, NotationAsPythonPrintsFloats) {
    EXPECT_EQ(shortest(256.0), "256");
    EXPECT_EQ(shortest(-0.0), "-0");
    EXPECT_EQ(shortest(0.0001), "0.0001");
    EXPECT_EQ(shortest(0.00001), "1e-05");
    EXPECT_EQ(shortest(1e16), "1e+16");
    EXPECT_EQ(shortest(123456789012345.6), "123456789012345.6");
    EXPECT_EQ(shortest(0.95f), "0.95");
    EXPECT_EQ(shortest(-1.5e-7), "-1.5e-07");
}

TEST(WriterNumbers, EveryDoubleReadsBackExactly) {
    std::mt19937_64 random(7);
    for (int i = 0; i < 200000; ++i) {
        const double value = std::bit_cast<double>(random());
        if (!std::isfinite(value)) continue;
        const std::string text = shortest(value);
        double back = 0;
        std::from_chars(text.data(), text.data() + text.size(), back);
        ASSERT_EQ(std::bit_cast<std::uint64_t>(back), std::bit_cast<std::uint64_t>(value)) << text;
    }
}

std::string text_of(const std::variant<Bytes, EncodeError>& written) {
    const Bytes& bytes = std::get<Bytes>(written);
    return std::string(bytes.begin(), bytes.end());
}

std::vector<ReplayEventKivo> cursor_frames(std::size_t count) {
    std::vector<ReplayEventKivo> frames;
    for (std::size_t i = 0; i < count; ++i) {
        frames.push_back({static_cast<std::int64_t>(i % 17), 0.5 * static_cast<double>(i), -1e-5, Key{1}});
    }
    return frames;
}

TEST(WriterFrameText, ChunksJoinIntoTheItemsInOrder) {
    // Far more than one chunk of text, so items meet the chunk boundaries.
    const auto frames = cursor_frames(20000);
    const FrameSource source{GameMode::STD, std::span<const ReplayEventKivo>(frames)};
    std::string expected;
    for (const auto& frame : frames) {
        expected += std::to_string(frame.time_delta) + "|" + shortest(frame.x) + "|-1e-05|1,";
    }
    EXPECT_EQ(text_of(frame_text_bytes(source, std::nullopt)), expected);
    EXPECT_EQ(text_of(frame_text_bytes(source, -7)), expected + "-12345|0|0|-7,");
    const auto decoded = decode_frame_text<ReplayEventKivo>(text_of(frame_text_bytes(source, -7)));
    EXPECT_TRUE(std::equal(frames.begin(), frames.end(), decoded.frames.begin(), decoded.frames.end()));
    EXPECT_EQ(decoded.rng_seed, -7);
}

TEST(WriterFrameText, ConstantFieldsOfEachMode) {
    const ReplayEventTaiko drum{16, 320, KeyTaiko{5}};
    const ReplayEventCatch plate{17, 255.5, true};
    const ReplayEventMania keys{15, KeyMania{-1}};
    EXPECT_EQ(text_of(frame_text_bytes({GameMode::TAIKO, std::span(&drum, 1)}, {})), "16|320|9999|5,");
    EXPECT_EQ(text_of(frame_text_bytes({GameMode::CTB, std::span(&plate, 1)}, {})), "17|255.5|9999|1,");
    EXPECT_EQ(text_of(frame_text_bytes({GameMode::MANIA, std::span(&keys, 1)}, {})), "15|-1|0|0,");
}

TEST(WriterFrameText, LastFrameLikeTheSeedStaysAFrame) {
    const ReplayEventMania frames[] = {{1, KeyMania{2}}, {-12345, KeyMania{3}}};
    const std::string text = text_of(frame_text_bytes({GameMode::MANIA, std::span(frames)}, std::nullopt));
    EXPECT_EQ(text, "1|2|0|0,-12345|3|0|0,,");
    const auto decoded = decode_frame_text<ReplayEventMania>(text);
    EXPECT_EQ(decoded.frames.size(), 2u);
    EXPECT_FALSE(decoded.rng_seed);
}

// One column of `values` of type T, with `stride` bytes between them.
template <class T>
ColumnView column(const std::vector<T>& values, ValueFormat format) {
    return ColumnView{reinterpret_cast<const std::byte*>(values.data()), sizeof(T), format};
}

TEST(WriterColumns, ValuesOfAnyWidthAndTheirRanges) {
    const std::vector<std::int8_t> deltas{1, -2};
    const std::vector<float> xs{0.5f, 3.0f};
    const std::vector<std::uint8_t> dashing{0, 1};
    FrameColumnsView view{
        2, {column(deltas, ValueFormat::I8), column(xs, ValueFormat::F32), column(dashing, ValueFormat::Bool), {}}};
    EXPECT_EQ(text_of(frame_text_bytes({GameMode::CTB, view}, {})), "1|0.5|9999|0,-2|3|9999|1,");

    const std::vector<std::uint8_t> bad_dashing{0, 2};
    view.fields[2] = column(bad_dashing, ValueFormat::U8);
    const auto refused = std::get<EncodeError>(frame_text_bytes({GameMode::CTB, view}, {}));
    EXPECT_EQ(describe(refused), "frame 1: dashing must be 0 or 1");

    const std::vector<std::uint64_t> huge{1, std::uint64_t{1} << 63};
    const std::vector<std::int64_t> keys{0, 0};
    const FrameColumnsView mania{2, {column(huge, ValueFormat::U64), column(keys, ValueFormat::I64), {}, {}}};
    EXPECT_EQ(describe(std::get<EncodeError>(frame_text_bytes({GameMode::MANIA, mania}, {}))),
              "frame 1: time_delta must be a signed 64-bit integer");
    const std::vector<std::int64_t> inexact{1, (std::int64_t{1} << 53) + 1};
    const FrameColumnsView plate{
        2, {column(keys, ValueFormat::I64), column(inexact, ValueFormat::I64), column(dashing, ValueFormat::Bool), {}}};
    EXPECT_EQ(describe(std::get<EncodeError>(frame_text_bytes({GameMode::CTB, plate}, {}))),
              "frame 1: x must be a float, or an integer that a double holds exactly");
}

TEST(WriterFrameText, ReaderLimitsAreRefused) {
    const std::int64_t zero = 0;
    const ColumnView repeated{reinterpret_cast<const std::byte*>(&zero), 0, ValueFormat::I64};
    const FrameColumnsView too_many{kMaxFramesPerText, {repeated, repeated, {}, {}}};
    EXPECT_EQ(std::get<EncodeError>(frame_text_bytes({GameMode::MANIA, too_many}, 1)).kind,
              EncodeErrorKind::TooManyFrames);
    EXPECT_EQ(std::get<EncodeError>(frame_text_bytes({GameMode::MANIA, FrameColumnsView{}}, {})).kind,
              EncodeErrorKind::NoFrames);
}

Replay sample_replay() {
    Replay replay;
    replay.mode = GameMode::TAIKO;
    replay.game_version = -3;
    replay.beatmap_hash = String();
    replay.replay_hash = String("h\xc3\xa9");
    replay.count_miss = -1;
    replay.perfect = true;
    replay.mods = Mod{0x80000001u};
    replay.life_bar_graph = Vec<LifeBarState>{{0, 1.0f}, {4294967295u, 0.1f}};
    replay.timestamp = INT64_MIN;
    replay.replay_data.taiko_replay_data = Vec<ReplayEventTaiko>{{16, 320, KeyTaiko{1}}, {-1, -320, KeyTaiko{0}}};
    replay.rng_seed = 99;
    replay.replay_id = UINT64_MAX;
    return replay;
}

TEST(WriterReplay, FileReadsBackFieldByField) {
    const Replay replay = sample_replay();
    const auto written = encode_replay(replay, std::get<FrameSource>(own_frames(replay)), nullptr);
    const Bytes& file = std::get<Bytes>(written);
    Result<Replay> back = parse_replay(ByteView(file.data(), file.size()), ByteOrder::Little, false);
    ASSERT_TRUE(back.ok());
    const Replay& read = back.value();
    EXPECT_EQ(read.game_version, -3);
    EXPECT_EQ(read.beatmap_hash, String());
    EXPECT_FALSE(read.username);
    EXPECT_EQ(read.replay_hash, replay.replay_hash);
    EXPECT_EQ(read.count_miss, -1);
    EXPECT_TRUE(read.perfect);
    EXPECT_EQ(read.mods, replay.mods);
    ASSERT_TRUE(read.life_bar_graph);
    EXPECT_EQ((*read.life_bar_graph)[1].time, 4294967295u);
    EXPECT_EQ((*read.life_bar_graph)[1].life, 0.1f);
    EXPECT_EQ(read.timestamp, INT64_MIN);
    EXPECT_EQ(read.replay_data.taiko_replay_data, replay.replay_data.taiko_replay_data);
    EXPECT_EQ(read.rng_seed, 99);
    EXPECT_EQ(read.replay_id, UINT64_MAX);
    EXPECT_TRUE(back.rest().empty());
}

TEST(WriterReplay, RefusesWhatTheReaderRefuses) {
    Replay replay = sample_replay();
    replay.username = String("\xed\xa0\x80");  // an encoded surrogate
    const auto frames = std::get<FrameSource>(own_frames(replay));
    EXPECT_EQ(describe(std::get<EncodeError>(encode_replay(replay, frames, nullptr))), "username is not valid UTF-8");
    replay.replay_data.kivo_replay_data = Vec<ReplayEventKivo>{};
    EXPECT_EQ(std::get<EncodeError>(own_frames(replay)).kind, EncodeErrorKind::OtherModeFrames);
    replay.replay_data = {};
    EXPECT_EQ(std::get<EncodeError>(own_frames(replay)).kind, EncodeErrorKind::MissingFrames);
    replay.mode = GameMode::UNKNOWN;
    EXPECT_EQ(std::get<EncodeError>(own_frames(replay)).kind, EncodeErrorKind::UnknownMode);
}

class StopAtOnce final : public StopCheck {
public:
    bool stop_requested() override { return true; }
};

TEST(WriterBlock, ReadsBackAndStopsWhenAsked) {
    const auto frames = cursor_frames(30000);  // over 512 KiB of text: one stop check
    const FrameSource source{GameMode::STD, std::span<const ReplayEventKivo>(frames)};
    const Bytes block = std::get<Bytes>(frame_block_bytes(source, 5, nullptr));
    const LentTextBuffer text = decompress_frame_block(ByteView(block.data(), block.size()));
    EXPECT_EQ(std::string(text.view()), text_of(frame_text_bytes(source, 5)));
    StopAtOnce stop;
    EXPECT_EQ(std::get<EncodeError>(frame_block_bytes(source, 5, &stop)).kind, EncodeErrorKind::Interrupted);
}

}  // namespace
}  // namespace kz
