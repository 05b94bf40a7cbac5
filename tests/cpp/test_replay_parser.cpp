// The replay file layout: header fields, the mode check, the online id and damaged files.
#include "replay_decode/replay_parser.hpp"

#include <gtest/gtest.h>

#include <limits>

#include "replay_bytes.hpp"

namespace kz::test {
namespace {

ByteVec whole_file(std::uint8_t mode) {
    return header_through_timestamp(mode)
        .block(compress_alone("0|256|-500|0,-1|256|-500|0,16|100.5|200|1,-12345|0|0|777,"))
        .u64(0x0102030405060708ull)
        .bytes();
}

std::string outcome(const ByteVec& input, bool header_only = false) {
    auto result = parse_replay(view_of(input), ByteOrder::Little, header_only);
    return result ? "decoded, id " + std::to_string(result.value().replay_id) + ", " +
                        std::to_string(result.rest().size()) + " left"
                  : text_of(describe(result.error()));
}

TEST(ParseReplay, WholeFile) {
    const ByteVec file = whole_file(0);
    const Replay r = parse_replay(view_of(file), ByteOrder::Little, false).value();
    EXPECT_EQ(r.game_version, 20240101);
    EXPECT_EQ(text_of(*r.username), "player");
    EXPECT_FALSE(r.replay_hash);
    EXPECT_EQ(
        (std::vector<int>{r.count_300, r.count_100, r.count_50, r.count_geki, r.count_katu, r.count_miss, r.max_combo}),
        (std::vector<int>{300, 100, 50, -1, -25536, 2, 777}));
    EXPECT_EQ(r.score, std::numeric_limits<std::int32_t>::min());
    EXPECT_FALSE(r.perfect);  // stored as 2
    EXPECT_EQ(r.mods, Mod{24});
    EXPECT_EQ(r.life_bar_graph->size(), 2u);
    EXPECT_EQ(r.timestamp, 0x0123456789ABCDEFll);
    EXPECT_EQ(r.replay_data.kivo_replay_data->size(), 3u);
    EXPECT_EQ(r.rng_seed, 777);
    EXPECT_EQ(r.replay_id, 0x0102030405060708ull);

    const Replay header = parse_replay(view_of(file), ByteOrder::Little, true).value();
    const ReplayDataContainer& none = header.replay_data;
    EXPECT_FALSE(none.kivo_replay_data || none.taiko_replay_data || none.catch_replay_data || none.mania_replay_data);
    EXPECT_FALSE(header.rng_seed);
    EXPECT_EQ(header.score, r.score);
}

TEST(ParseReplay, SmallestFileHasEverythingAbsent) {
    ReplayBytes r;
    r.u8(3).u32(1).str(std::nullopt).str(std::nullopt).str(std::nullopt).raw(ByteVec(18)).u8(1).u32(0);
    r.str(std::nullopt).u64(0).u32(0).u32(9);
    ASSERT_EQ(r.bytes().size(), 48u);
    const Replay replay = parse_replay(view_of(r.bytes()), ByteOrder::Little, true).value();
    EXPECT_TRUE(replay.perfect);
    EXPECT_FALSE(replay.beatmap_hash || replay.username || replay.replay_hash || replay.life_bar_graph);
    EXPECT_EQ(stop_message([&] { (void)parse_replay(view_of(r.bytes()), ByteOrder::Little, false); }),
              "called `Option::unwrap()` on a `None` value");
}

TEST(ParseReplay, OnlineIdAndDecodeErrors) {
    const ByteVec bad_mode = header_through_timestamp(4).bytes();
    const ByteVec before_id = header_through_timestamp(2).block(compress_alone("1|2|3|4")).bytes();
    auto with = [](ByteVec head, ByteVec tail) {
        head.insert(head.end(), tail.begin(), tail.end());
        return head;
    };
    const std::size_t through_field_5 = 1 + 4 + 18 + 8 + 1;
    const std::pair<ByteVec, std::string> cases[] = {
        {with(before_id, {0x2A, 0, 0, 0}), "decoded, id 42, 0 left"},
        {with(before_id, {0xFE, 0xFF, 0xFF, 0xFF, 7}), "decoded, id 18446744073709551614, 1 left"},
        {with(before_id, {1, 0, 0, 0, 0, 0, 0, 0, 9, 9, 9}), "decoded, id 1, 3 left"},
        {with(before_id, {5, 6}), "Error(Error { input: [5, 6], code: Eof })"},
        {{}, "Error(Error { input: [], code: Eof })"},
        {{0x00}, "Error(Error { input: [], code: Eof })"},
        // Mode byte 4 but cut inside the first count: the count is what is reported.
        {ByteVec(bad_mode.begin(), bad_mode.begin() + through_field_5 + 1), "Error(Error { input: [44], code: Eof })"},
        {with(header_through_timestamp(0).bytes(), {9, 0, 0, 0, 1, 2}), "Error(Error { input: [1, 2], code: Eof })"},
    };
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(outcome(input, true), expected);
        EXPECT_EQ(outcome(input, false), expected);
    }
    EXPECT_EQ(stop_message([&] { outcome(bad_mode, true); }), "Unknown GameMode");
}

TEST(ParseReplay, EveryPrefixIsADecodeError) {
    const ByteVec all = whole_file(0);
    for (std::size_t n = 0; n < all.size(); ++n) {
        // With four or more id bytes left the short id form applies.
        const bool decodes = outcome(ByteVec(all.begin(), all.begin() + std::ptrdiff_t(n))).starts_with("decoded");
        EXPECT_EQ(decodes, n >= all.size() - 4) << n;
    }
}

TEST(ParseReplay, SingleByteDamageNeverCrashes) {
    const ByteVec good = whole_file(3);
    for (std::size_t at = 0; at < good.size(); ++at) {
        for (const int value : {0x00, 0xFF, good[at] ^ 0x80, good[at] + 1}) {
            ByteVec damaged = good;
            damaged[at] = std::uint8_t(value);
            try {
                outcome(damaged);
            } catch (const Stop&) {}
        }
    }
}

}  // namespace
}  // namespace kz::test
