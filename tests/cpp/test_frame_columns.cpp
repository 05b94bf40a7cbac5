// Frame columns and their Arrow export: the layout consumers rely on, and
// memory that stays alive for exactly as long as someone holds it.
#include "columns/arrow_export.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace kz {
namespace {

ReplayDataContainer catch_frames(std::size_t count) {
    Vec<ReplayEventCatch> frames;
    for (std::size_t i = 0; i < count; ++i) {
        frames.push_back({static_cast<std::int64_t>(i) - 1, 0.5 * static_cast<double>(i), i % 3 == 0});
    }
    ReplayDataContainer data;
    data.catch_replay_data = std::move(frames);
    return data;
}

template <class T>
std::vector<T> values_of(const Column& column, std::size_t count) {
    std::vector<T> out(count);
    std::memcpy(out.data(), column.values.data(), count * sizeof(T));
    return out;
}

// Keys and values in order, read as the interface lays them out.
std::vector<std::string> metadata_of(const char* metadata) {
    auto read_int = [&] {
        std::int32_t value = 0;
        std::memcpy(&value, metadata, sizeof value);
        metadata += sizeof value;
        return static_cast<std::size_t>(value);
    };
    std::vector<std::string> out;
    for (std::size_t pairs = read_int(), text = 0; text < 2 * pairs; ++text) {
        const std::size_t size = read_int();
        out.emplace_back(metadata, size);
        metadata += size;
    }
    return out;
}

TEST(FrameColumns, OneColumnPerFieldOfTheModesRecord) {
    ReplayDataContainer data;
    data.kivo_replay_data = Vec<ReplayEventKivo>{{16, 1.5, -2.5, Key{-1}}, {-7, 3.0, 4.0, Key{5}}};
    data.mania_replay_data = Vec<ReplayEventMania>{{1, KeyMania{2}}};  // another mode's slot is not read
    const FrameColumns columns = FrameColumns::of(data, GameMode::STD, 42);
    ASSERT_EQ(columns.columns().size(), 4u);
    EXPECT_EQ(columns.length(), 2u);
    EXPECT_EQ(columns.rng_seed(), 42);
    const auto& all = columns.columns();
    EXPECT_EQ(values_of<std::int64_t>(all[0], 2), (std::vector<std::int64_t>{16, -7}));
    EXPECT_EQ(values_of<double>(all[1], 2), (std::vector<double>{1.5, 3.0}));
    EXPECT_EQ(values_of<double>(all[2], 2), (std::vector<double>{-2.5, 4.0}));
    EXPECT_EQ(values_of<std::int32_t>(all[3], 2), (std::vector<std::int32_t>{-1, 5}));
    EXPECT_EQ(std::string(all[3].name), "keys");

    // UNKNOWN reads the standard slot; an absent slot gives empty columns.
    EXPECT_EQ(FrameColumns::of(data, GameMode::UNKNOWN, {}).length(), 2u);
    EXPECT_EQ(FrameColumns::of(data, GameMode::TAIKO, {}).length(), 0u);
    EXPECT_EQ(FrameColumns::of(data, GameMode::TAIKO, {}).columns().size(), 3u);
    EXPECT_EQ(frame_count(data, GameMode::MANIA), 1u);
    EXPECT_EQ(frame_count(data, GameMode::CTB), std::nullopt);
}

TEST(FrameColumns, BooleansAlsoPackedOneBitPerFrame) {
    for (std::size_t count : {0u, 1u, 8u, 9u, 17u}) {
        const FrameColumns columns = FrameColumns::of(catch_frames(count), GameMode::CTB, {});
        const Column& dashing = columns.columns()[2];
        ASSERT_EQ(dashing.type, ColumnType::Bool);
        ASSERT_EQ(dashing.bits.size(), (count + 7) / 8);
        const auto* bits = static_cast<const std::uint8_t*>(dashing.bits.data());
        const auto* bytes = static_cast<const std::uint8_t*>(dashing.values.data());
        for (std::size_t i = 0; i < count; ++i) {
            EXPECT_EQ((bits[i / 8] >> (i % 8)) & 1, i % 3 == 0 ? 1 : 0) << i;
            EXPECT_EQ(bytes[i], i % 3 == 0 ? 1 : 0) << i;
        }
        if (count % 8 != 0) {
            EXPECT_EQ(bits[count / 8] >> (count % 8), 0) << count;  // padding bits clear
        }
    }
}

// How pickled columns come back: the same values, booleans repacked, and
// buffers that do not fit the record or the length refused.
TEST(FrameColumns, RebuiltFromTheirStoredValues) {
    const FrameColumns original = FrameColumns::of(catch_frames(11), GameMode::CTB, 7);
    std::vector<std::span<const std::uint8_t>> values;
    for (const Column& column : original.columns()) {
        values.emplace_back(static_cast<const std::uint8_t*>(column.values.data()),
                            original.length() * column_value_bytes(column.type));
    }
    const auto rebuilt = FrameColumns::from_values(GameMode::CTB, 7, 11, values);
    ASSERT_TRUE(rebuilt.has_value());
    EXPECT_EQ(rebuilt->rng_seed(), 7);
    ASSERT_NE(rebuilt->time(), nullptr);  // the clock follows from the deltas
    EXPECT_EQ(std::memcmp(rebuilt->time()->values.data(), original.time()->values.data(), 11 * sizeof(std::int64_t)),
              0);
    for (std::size_t index = 0; index < values.size(); ++index) {
        const Column& column = rebuilt->columns()[index];
        EXPECT_EQ(column.name, original.columns()[index].name);
        EXPECT_EQ(std::memcmp(column.values.data(), values[index].data(), values[index].size()), 0);
        EXPECT_EQ(column.bits.size(), original.columns()[index].bits.size());
        if (column.bits.size() != 0) {
            EXPECT_EQ(std::memcmp(column.bits.data(), original.columns()[index].bits.data(), column.bits.size()), 0);
        }
    }
    EXPECT_FALSE(FrameColumns::from_values(GameMode::CTB, 7, 12, values).has_value());
    EXPECT_FALSE(FrameColumns::from_values(GameMode::STD, 7, 11, values).has_value());  // four fields, not three
    EXPECT_FALSE(FrameColumns::from_values(GameMode::CTB, 7, SIZE_MAX / 4, values).has_value());
}

TEST(ArrowExport, SchemaNamesTypesAndMetadata) {
    const FrameColumns columns = FrameColumns::of(catch_frames(3), GameMode::CTB, -5);
    ArrowSchema schema;
    export_schema(columns, false, &schema);
    EXPECT_STREQ(schema.format, "+s");
    ASSERT_EQ(schema.n_children, 3);
    const char* expected[][2] = {{"time_delta", "l"}, {"x", "g"}, {"dashing", "b"}};
    for (int i = 0; i < 3; ++i) {
        EXPECT_STREQ(schema.children[i]->name, expected[i][0]);
        EXPECT_STREQ(schema.children[i]->format, expected[i][1]);
        EXPECT_EQ(schema.children[i]->flags, 0);  // no value is ever missing
    }
    EXPECT_EQ(metadata_of(schema.metadata),
              (std::vector<std::string>{"kadenzo.mode", "CTB", "kadenzo.rng_seed", "-5"}));
    schema.release(&schema);
    EXPECT_EQ(schema.release, nullptr);
}

TEST(ArrowExport, ArraysPointIntoTheColumnsAndHoldThemUntilTheLastRelease) {
    SharedFrameColumns columns = share(FrameColumns::of(catch_frames(20), GameMode::CTB, {}));
    const std::weak_ptr<const FrameColumns> watch = columns;
    ArrowArray array;
    export_array(columns, false, &array);
    ASSERT_EQ(array.n_children, 3);
    EXPECT_EQ(array.length, 20);
    EXPECT_EQ(array.n_buffers, 1);
    EXPECT_EQ(array.buffers[0], nullptr);
    EXPECT_EQ(array.children[1]->buffers[1], columns->columns()[1].values.data());
    EXPECT_EQ(array.children[2]->buffers[1], columns->columns()[2].bits.data());

    // A consumer moves one child out, then releases the struct before it.
    ArrowArray moved = *array.children[0];
    array.children[0]->release = nullptr;
    columns.reset();
    array.release(&array);
    EXPECT_EQ(array.release, nullptr);
    ASSERT_FALSE(watch.expired());
    EXPECT_EQ(static_cast<const std::int64_t*>(moved.buffers[1])[19], 18);
    moved.release(&moved);
    EXPECT_TRUE(watch.expired());
}

TEST(ArrowExport, StreamYieldsOneBatchThenItsEnd) {
    const SharedFrameColumns columns = share(FrameColumns::of(catch_frames(5), GameMode::CTB, {}));
    ArrowArrayStream stream;
    export_stream(columns, false, &stream);
    ArrowSchema schema;
    ASSERT_EQ(stream.get_schema(&stream, &schema), 0);
    schema.release(&schema);
    ArrowArray batch;
    ASSERT_EQ(stream.get_next(&stream, &batch), 0);
    EXPECT_EQ(batch.length, 5);
    batch.release(&batch);
    ASSERT_EQ(stream.get_next(&stream, &batch), 0);
    EXPECT_EQ(batch.release, nullptr);
    stream.release(&stream);
    EXPECT_EQ(columns.use_count(), 1);
}

}  // namespace
}  // namespace kz
