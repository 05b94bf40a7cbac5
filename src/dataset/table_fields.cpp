#include "dataset/table_fields.hpp"

#include "columns/arrow_struct_schema.hpp"

#include <array>
#include <cstring>
#include <new>
#include <utility>

namespace kz {
namespace {

// Dictionary-encoded text: int32 indices (paths, names), int8 (the five modes).
constexpr const char* kTextKeys = "i";
constexpr const char* kModeKeys = "c";

constexpr std::array kSummaryFields{
    TableField{FieldId::Path, "path", kTextKeys, "u", nullptr},
    TableField{FieldId::Mode, "mode", kModeKeys, "u", nullptr},
    TableField{FieldId::GameVersion, "game_version", "i", nullptr, "Int32"},
    TableField{FieldId::BeatmapHash, "beatmap_hash", "u", nullptr, nullptr},
    TableField{FieldId::Username, "username", kTextKeys, "u", nullptr},
    TableField{FieldId::ReplayHash, "replay_hash", "u", nullptr, nullptr},
    TableField{FieldId::Count300, "count_300", "s", nullptr, "Int16"},
    TableField{FieldId::Count100, "count_100", "s", nullptr, "Int16"},
    TableField{FieldId::Count50, "count_50", "s", nullptr, "Int16"},
    TableField{FieldId::CountGeki, "count_geki", "s", nullptr, "Int16"},
    TableField{FieldId::CountKatu, "count_katu", "s", nullptr, "Int16"},
    TableField{FieldId::CountMiss, "count_miss", "s", nullptr, "Int16"},
    TableField{FieldId::Score, "score", "i", nullptr, "Int32"},
    TableField{FieldId::MaxCombo, "max_combo", "s", nullptr, "Int16"},
    TableField{FieldId::Perfect, "perfect", "b", nullptr, "boolean"},
    TableField{FieldId::Mods, "mods", "l", nullptr, "Int64"},
    TableField{FieldId::ModsNames, "mods_names", "u", nullptr, nullptr},
    TableField{FieldId::Timestamp, "timestamp", "l", nullptr, "Int64"},
    TableField{FieldId::PlayedAt, "played_at", "tsu:UTC", nullptr, nullptr},
    TableField{FieldId::ReplayId, "replay_id", "L", nullptr, "UInt64"},
    TableField{FieldId::FrameCount, "frame_count", "l", nullptr, "Int64"},
    TableField{FieldId::RngSeed, "rng_seed", "i", nullptr, "Int32"},
    TableField{FieldId::Error, "error", "u", nullptr, nullptr},
};

constexpr std::array kFramesFields{
    TableField{FieldId::FileIndex, "file_index", "l", nullptr, "Int64"},
    TableField{FieldId::Path, "path", kTextKeys, "u", nullptr},
    TableField{FieldId::Mode, "mode", kModeKeys, "u", nullptr},
    TableField{FieldId::Time, "time", "l", nullptr, "Int64"},
    TableField{FieldId::TimeDelta, "time_delta", "l", nullptr, "Int64"},
    TableField{FieldId::X, "x", "g", nullptr, nullptr},
    TableField{FieldId::XInt, "x_int", "l", nullptr, "Int64"},
    TableField{FieldId::Y, "y", "g", nullptr, nullptr},
    TableField{FieldId::Keys, "keys", "i", nullptr, "Int32"},
    TableField{FieldId::Dashing, "dashing", "b", nullptr, "boolean"},
    TableField{FieldId::Error, "error", "u", nullptr, nullptr},
};

// The metadata pandas reads back: the same JSON text Python's json.dumps
// writes for it, so schemas made here and in Python compare equal.
String pandas_metadata(std::span<const TableField> fields) {
    String json = R"({"index_columns": [], "column_indexes": [], "columns": [)";
    bool first = true;
    for (const TableField& field : fields) {
        if (field.pandas_dtype == nullptr) continue;
        if (!first) json += ", ";
        first = false;
        json += R"({"name": ")";
        json += field.name;
        json += R"(", "field_name": ")";
        json += field.name;
        json += R"(", "pandas_type": "object", "numpy_type": ")";
        json += field.pandas_dtype;
        json += R"(", "metadata": null})";
    }
    json += "]}";
    return json;
}

}  // namespace

std::span<const TableField> table_fields(TableKind kind) noexcept {
    if (kind == TableKind::Frames) return kFramesFields;
    return kSummaryFields;
}

std::optional<Vec<TableField>> project_fields(TableKind kind, std::span<const std::string_view> names) {
    Vec<TableField> out;
    out.reserve(names.size());
    const std::span<const TableField> all = table_fields(kind);
    for (std::string_view name : names) {
        const TableField* found = nullptr;
        for (const TableField& field : all) {
            if (field.name == name) found = &field;
        }
        if (found == nullptr) return std::nullopt;
        out.push_back(*found);
    }
    return out;
}

void export_table_schema(std::span<const TableField> fields, ArrowSchema* out) {
    Vec<StructSchemaField> children;
    children.reserve(fields.size());
    for (const TableField& field : fields) {
        children.push_back({field.name.data(), field.format, ARROW_FLAG_NULLABLE, field.dictionary_format});
    }
    String metadata;
    append_metadata_count(metadata, 1);
    append_metadata_entry(metadata, "pandas", pandas_metadata(fields));
    export_struct_schema(children, std::move(metadata), out);
}

}  // namespace kz
