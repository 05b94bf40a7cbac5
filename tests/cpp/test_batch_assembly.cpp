// Record batches of the dataset tables: values, nulls and dictionaries of a
// mixed batch with a failure, and memory that outlives the batch's release.
#include "dataset/batch_assembly.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <span>
#include <string>
#include <vector>

namespace kz {
namespace {

template <class T>
std::vector<T> values(const ArrowArray& array) {
    std::vector<T> out(static_cast<std::size_t>(array.length));
    std::memcpy(out.data(), array.buffers[1], out.size() * sizeof(T));
    return out;
}

bool valid(const ArrowArray& array, std::size_t at) {
    if (array.buffers[0] == nullptr) return true;
    return (static_cast<const std::uint8_t*>(array.buffers[0])[at / 8] >> (at % 8)) & 1;
}

std::vector<std::string> texts(const ArrowArray& array) {
    std::vector<std::string> out;
    const auto* offsets = static_cast<const std::int32_t*>(array.buffers[1]);
    for (std::int64_t at = 0; at < array.length; ++at) {
        out.emplace_back(static_cast<const char*>(array.buffers[2]) + offsets[at],
                         static_cast<std::size_t>(offsets[at + 1] - offsets[at]));
    }
    return out;
}

struct Plays {
    Replay standard;
    Replay drums;
    std::vector<FileResult> files;

    Plays() {
        standard.username = String("Mara");
        standard.mods.bits = 72;
        standard.timestamp = 621'355'968'000'000'015;  // 1.5 us after the Unix epoch
        ReplayDataContainer kivo;
        kivo.kivo_replay_data = Vec<ReplayEventKivo>{{16, 1.5, -2.5, Key{1}}, {-7, 3.0, 4.0, Key{5}}};
        drums.mode = GameMode::TAIKO;
        drums.username = String("Mara");
        drums.mods.bits = 0x8000'0008u;  // bit 31 beside Hidden: the number keeps all 32 bits
        drums.timestamp = -5;            // outside the calendar
        ReplayDataContainer taiko;
        taiko.taiko_replay_data = Vec<ReplayEventTaiko>{{10, (std::int64_t{1} << 60) + 1, KeyTaiko{2}}};
        files = {
            {0, "a.kvr", &standard, share(FrameColumns::of(kivo, GameMode::STD, 7)), std::nullopt, "HDDT"},
            {1, "b.kvr", nullptr, nullptr, "the file is truncated", std::nullopt},
            {2, std::nullopt, &drums, share(FrameColumns::of(taiko, GameMode::TAIKO, {})), std::nullopt, std::nullopt},
        };
    }
};

const ArrowArray& child(const ArrowArray& batch, std::span<const TableField> fields, std::string_view name) {
    for (std::size_t at = 0; at < fields.size(); ++at) {
        if (fields[at].name == name) return *batch.children[at];
    }
    throw std::out_of_range(std::string(name));
}

TEST(BatchAssembly, FramesOfEveryFileOneAfterAnotherWithTheFailuresRow) {
    Plays plays;
    const std::span<const TableField> fields = table_fields(TableKind::Frames);
    ArrowArray batch{};
    assemble_batch(TableKind::Frames, fields, plays.files, &batch);
    ASSERT_EQ(batch.length, 4);  // 2 frames, the failure's row, 1 frame
    ASSERT_EQ(batch.n_children, static_cast<std::int64_t>(fields.size()));

    EXPECT_EQ(values<std::int64_t>(child(batch, fields, "file_index")), (std::vector<std::int64_t>{0, 0, 1, 2}));
    const ArrowArray& path = child(batch, fields, "path");
    EXPECT_EQ(path.null_count, 1);  // contents without a name
    EXPECT_EQ(values<std::int32_t>(path)[2], 1);
    EXPECT_EQ(texts(*path.dictionary), (std::vector<std::string>{"a.kvr", "b.kvr"}));
    const ArrowArray& mode = child(batch, fields, "mode");
    EXPECT_EQ(mode.null_count, 1);
    EXPECT_FALSE(valid(mode, 2));
    EXPECT_EQ(values<std::int8_t>(mode)[3], 1);
    EXPECT_EQ(texts(*mode.dictionary).size(), static_cast<std::size_t>(kModeCount));

    EXPECT_EQ(values<std::int64_t>(child(batch, fields, "time")), (std::vector<std::int64_t>{16, 9, 0, 10}));
    const ArrowArray& x = child(batch, fields, "x");
    const ArrowArray& x_int = child(batch, fields, "x_int");
    EXPECT_EQ(values<double>(x)[3], static_cast<double>((std::int64_t{1} << 60) + 1));
    EXPECT_EQ(x_int.null_count, 3);
    EXPECT_EQ(values<std::int64_t>(x_int)[3], (std::int64_t{1} << 60) + 1);  // exact
    const ArrowArray& y = child(batch, fields, "y");
    EXPECT_EQ(y.null_count, 2);
    EXPECT_TRUE(valid(y, 1) && !valid(y, 2) && !valid(y, 3));
    EXPECT_EQ(child(batch, fields, "dashing").null_count, 4);  // no catch play
    const ArrowArray& error = child(batch, fields, "error");
    EXPECT_EQ(error.null_count, 3);
    EXPECT_EQ(texts(error), (std::vector<std::string>{"", "", "the file is truncated", ""}));

    // A child moved out stays valid after the batch is released.
    ArrowArray keys = *batch.children[8];
    batch.children[8]->release = nullptr;
    batch.release(&batch);
    const std::vector<std::int32_t> held = values<std::int32_t>(keys);
    EXPECT_EQ(held[1], 5);
    EXPECT_EQ(held[3], 2);
    keys.release(&keys);
}

TEST(BatchAssembly, OneFileSharesItsColumnsMemory) {
    Plays plays;
    const std::span<const FileResult> one(plays.files.data(), 1);
    const std::span<const TableField> fields = table_fields(TableKind::Frames);
    ArrowArray batch{};
    assemble_batch(TableKind::Frames, fields, one, &batch);
    const FrameColumns& columns = *plays.files[0].columns;
    EXPECT_EQ(child(batch, fields, "time_delta").buffers[1], columns.columns()[0].values.data());
    EXPECT_EQ(child(batch, fields, "time").buffers[1], columns.time()->values.data());
    plays.files.clear();  // the batch holds the columns now
    EXPECT_EQ(values<double>(child(batch, fields, "y")), (std::vector<double>{-2.5, 4.0}));
    batch.release(&batch);
}

TEST(BatchAssembly, HeaderRowsInTheProjectionsOrder) {
    Plays plays;
    const std::vector<std::string_view> names{"username", "mods", "mods_names", "played_at", "frame_count", "error"};
    const auto fields = project_fields(TableKind::Summary, names);
    ASSERT_TRUE(fields);
    EXPECT_FALSE(project_fields(TableKind::Summary, std::vector<std::string_view>{"x"}));
    ArrowArray batch{};
    assemble_batch(TableKind::Summary, *fields, plays.files, &batch);
    ASSERT_EQ(batch.length, 3);
    const ArrowArray& username = *batch.children[0];
    EXPECT_EQ(values<std::int32_t>(username), (std::vector<std::int32_t>{0, 0, 0}));  // one entry, shared
    EXPECT_EQ(texts(*username.dictionary), (std::vector<std::string>{"Mara"}));
    EXPECT_EQ(username.null_count, 1);
    const ArrowArray& mods = *batch.children[1];
    EXPECT_EQ(values<std::int64_t>(mods)[0], 72);
    EXPECT_EQ(values<std::int64_t>(mods)[2], 0x8000'0008);
    EXPECT_EQ(mods.null_count, 1);  // the failure
    EXPECT_EQ(texts(*batch.children[2])[0], "HDDT");
    const ArrowArray& played_at = *batch.children[3];
    EXPECT_EQ(values<std::int64_t>(played_at)[0], 1);  // rounded down to whole microseconds
    EXPECT_FALSE(valid(played_at, 2));
    EXPECT_EQ(values<std::int64_t>(*batch.children[4]), (std::vector<std::int64_t>{2, 0, 1}));
    batch.release(&batch);

    EXPECT_EQ(played_at_micros(621'355'967'999'999'995), -1);  // before the epoch, rounded down too
    EXPECT_EQ(played_at_micros(0), -62'135'596'800'000'000);
}

TEST(BatchAssembly, HiddenFieldsAreNullBesideTheOthers) {
    // A damaged file's row: the fields it yielded, its error, the rest null.
    Plays plays;
    plays.files[0].error = "the frames are damaged";
    const std::vector<std::string_view> names{"username", "mods", "frame_count", "error"};
    const auto fields = project_fields(TableKind::Summary, names);
    ASSERT_TRUE(fields);
    plays.files[0].hidden = hidden_bit(TableKind::Summary, (*fields)[0]) | hidden_bit(TableKind::Summary, (*fields)[2]);
    ArrowArray batch{};
    assemble_batch(TableKind::Summary, *fields, plays.files, &batch);
    EXPECT_FALSE(valid(*batch.children[0], 0));
    EXPECT_TRUE(valid(*batch.children[0], 2));  // another file's name, in the same dictionary
    EXPECT_EQ(values<std::int64_t>(*batch.children[1])[0], 72);
    EXPECT_FALSE(valid(*batch.children[2], 0));
    EXPECT_EQ(texts(*batch.children[3])[0], "the frames are damaged");
    batch.release(&batch);
}

TEST(BatchAssembly, TheSummaryTableKeepsItsColumns) {
    // The header's columns are derived from the layout table and the record's
    // member types; the table the dataset exports stays the one users read.
    struct Expected {
        const char* name;
        const char* format;
        const char* dictionary;
        const char* pandas;
    };
    const std::vector<Expected> expected{
        {"path", "i", "u", nullptr},
        {"mode", "c", "u", nullptr},
        {"game_version", "i", nullptr, "Int32"},
        {"beatmap_hash", "u", nullptr, nullptr},
        {"username", "i", "u", nullptr},
        {"replay_hash", "u", nullptr, nullptr},
        {"count_300", "s", nullptr, "Int16"},
        {"count_100", "s", nullptr, "Int16"},
        {"count_50", "s", nullptr, "Int16"},
        {"count_geki", "s", nullptr, "Int16"},
        {"count_katu", "s", nullptr, "Int16"},
        {"count_miss", "s", nullptr, "Int16"},
        {"score", "i", nullptr, "Int32"},
        {"max_combo", "s", nullptr, "Int16"},
        {"perfect", "b", nullptr, "boolean"},
        {"mods", "l", nullptr, "Int64"},
        {"mods_names", "u", nullptr, nullptr},
        {"timestamp", "l", nullptr, "Int64"},
        {"played_at", "tsu:UTC", nullptr, nullptr},
        {"replay_id", "L", nullptr, "UInt64"},
        {"frame_count", "l", nullptr, "Int64"},
        {"rng_seed", "i", nullptr, "Int32"},
        {"error", "u", nullptr, nullptr},
    };
    const std::span<const TableField> fields = table_fields(TableKind::Summary);
    ASSERT_EQ(fields.size(), expected.size());
    const auto same = [](const char* a, const char* b) { return a == b || (a && b && std::strcmp(a, b) == 0); };
    for (std::size_t at = 0; at < fields.size(); ++at) {
        SCOPED_TRACE(expected[at].name);
        EXPECT_EQ(fields[at].name, expected[at].name);
        EXPECT_TRUE(same(fields[at].format, expected[at].format));
        EXPECT_TRUE(same(fields[at].dictionary_format, expected[at].dictionary));
        EXPECT_TRUE(same(fields[at].pandas_dtype, expected[at].pandas));
    }
}

TEST(BatchAssembly, SchemaOfAProjection) {
    const std::vector<std::string_view> names{"score", "path", "mode", "beatmap_hash"};
    const auto fields = project_fields(TableKind::Summary, names);
    ASSERT_TRUE(fields);
    ArrowSchema schema{};
    export_table_schema(*fields, &schema);
    ASSERT_EQ(schema.n_children, 4);
    EXPECT_STREQ(schema.format, "+s");
    EXPECT_STREQ(schema.children[0]->name, "score");
    EXPECT_STREQ(schema.children[0]->format, "i");
    EXPECT_EQ(schema.children[0]->dictionary, nullptr);
    EXPECT_STREQ(schema.children[1]->format, "i");  // int32 indices into text
    EXPECT_STREQ(schema.children[1]->dictionary->format, "u");
    EXPECT_STREQ(schema.children[2]->format, "c");  // int8 indices into the five modes
    EXPECT_EQ(schema.children[3]->flags, ARROW_FLAG_NULLABLE);
    // One entry, "pandas", naming the nullable dtype of the one integer column.
    std::int32_t count = 0;
    std::memcpy(&count, schema.metadata, sizeof count);
    EXPECT_EQ(count, 1);
    std::int32_t size = 0;
    std::memcpy(&size, schema.metadata + 14, sizeof size);  // after the count, the key's size and "pandas"
    EXPECT_EQ(std::string(schema.metadata + 8, 6), "pandas");
    EXPECT_EQ(std::string(schema.metadata + 18, static_cast<std::size_t>(size)),
              R"({"index_columns": [], "column_indexes": [], "columns": [{"name": "score", "field_name": "score", )"
              R"("pandas_type": "object", "numpy_type": "Int32", "metadata": null}]})");
    schema.release(&schema);
    EXPECT_EQ(schema.release, nullptr);
}

}  // namespace
}  // namespace kz
