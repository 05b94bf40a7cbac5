// The layout table: its rows agree with the Replay record, and every kind's
// codec writes what it reads.
#include "layout/replay_layout.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "layout/field_codec.hpp"
#include "replay_decode/replay_parser.hpp"
#include "replay_bytes.hpp"

namespace kz::test {
namespace {

// The table names Replay's members in the record's own order; only rng_seed,
// which the frame block fills, has no row of its own.
TEST(Layout, RowsFollowTheRecordsFieldsInOrder) {
    std::vector<std::string> record;
    RecordInfo<Replay>::fields::for_each([&](auto field) {
        if (field.name != "rng_seed") record.emplace_back(field.name);
    });
    std::vector<std::string> rows;
    for (const layout::FieldInfo& field : layout::kFields) rows.emplace_back(field.name);
    EXPECT_EQ(rows, record) << "add the field's row to src/layout/replay_layout.hpp in file order";
    for (const layout::FieldInfo& field : layout::kFields) {
        EXPECT_EQ(field.width, layout::fixed_width(field.kind)) << field.name;
    }
    EXPECT_EQ(layout::kFields[layout::kFrameBlockIndex].kind, layout::Kind::FrameBlock);
    EXPECT_EQ(layout::kFields[layout::kReplayIdIndex].kind, layout::Kind::ReplayId);
}

// A header written field by field from the table reads back through the parser.
TEST(Layout, HeaderWrittenFromTheTableReadsBack) {
    Replay replay;
    replay.mode = GameMode::MANIA;
    replay.game_version = -7;
    replay.username = String("name");
    replay.beatmap_hash = String();
    replay.count_geki = -2;
    replay.score = 123456789;
    replay.perfect = true;
    replay.mods = Mod{0x80000001u};
    replay.timestamp = -1;
    replay.replay_id = 0xFFFFFFFFFFFFFFFEull;
    Bytes file;
    layout::for_each_field([&](auto index) {
        using Row = layout::FieldAt<index>;
        if constexpr (Row::kind == layout::Kind::LifeBar) {
            layout::Codec<Row::kind>::write(file, "5|0.5");
        } else if constexpr (Row::kind == layout::Kind::FrameBlock) {
            const ByteVec block = compress_alone("1|2,-12345|0|0|9");
            layout::Codec<Row::kind>::write(file, ByteView(block.data(), block.size()));
        } else {
            layout::Codec<Row::kind>::write(file, layout::to_wire(replay.*Row::member));
        }
    });
    const Replay read = parse_replay(ByteView(file.data(), file.size()), ByteOrder::Little, false).value();
    EXPECT_EQ(read.mode, replay.mode);
    EXPECT_EQ(read.game_version, replay.game_version);
    EXPECT_EQ(read.username, replay.username);
    EXPECT_EQ(read.beatmap_hash, replay.beatmap_hash);  // present and empty, not absent
    EXPECT_FALSE(read.replay_hash);
    EXPECT_EQ(read.count_geki, replay.count_geki);
    EXPECT_EQ(read.score, replay.score);
    EXPECT_EQ(read.perfect, replay.perfect);
    EXPECT_EQ(read.mods, replay.mods);
    EXPECT_EQ(read.timestamp, replay.timestamp);
    EXPECT_EQ(read.replay_id, replay.replay_id);
    ASSERT_TRUE(read.life_bar_graph);
    EXPECT_EQ(read.life_bar_graph->front().time, 5u);
    EXPECT_EQ(read.replay_data.mania_replay_data->size(), 1u);
    EXPECT_EQ(read.rng_seed, 9);
}

TEST(Layout, TextLengthsOfEveryWidthRoundTrip) {
    for (const std::size_t size : {0u, 1u, 127u, 128u, 16383u, 16384u, 70000u}) {
        const std::string text(size, 'a');
        Bytes out;
        layout::Codec<layout::Kind::Text>::write(out, std::string_view(text));
        const auto read = layout::Codec<layout::Kind::Text>::read(ByteView(out.data(), out.size()), 2);
        ASSERT_TRUE(read) << size;
        EXPECT_EQ(read.value()->size(), size);
        EXPECT_TRUE(read.rest().empty());
    }
}

}  // namespace
}  // namespace kz::test
