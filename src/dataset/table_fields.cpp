#include "dataset/table_fields.hpp"

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

void append_int32(String& out, std::size_t value) {
    const auto number = static_cast<std::int32_t>(value);
    char bytes[sizeof number];
    std::memcpy(bytes, &number, sizeof number);  // native byte order, as the interface wants
    out.append(bytes, sizeof bytes);
}

struct SchemaPrivate {
    Vec<ArrowSchema> children;
    Vec<ArrowSchema*> child_pointers;
    Vec<ArrowSchema> dictionaries;  // one per field; used by dictionary fields only
    String metadata;
};

template <class T, class... Args>
T* make_owned(Args&&... args) {
    void* memory = allocate_bytes(sizeof(T));
    return ::new (memory) T(std::forward<Args>(args)...);
}

void release_child(ArrowSchema* schema) { schema->release = nullptr; }

void release_schema(ArrowSchema* schema) {
    auto* data = static_cast<SchemaPrivate*>(schema->private_data);
    for (ArrowSchema& child : data->children) {
        if (child.release != nullptr) child.release(&child);
    }
    for (ArrowSchema& dictionary : data->dictionaries) {
        if (dictionary.release != nullptr) dictionary.release(&dictionary);
    }
    data->~SchemaPrivate();
    free_bytes(data);
    schema->release = nullptr;
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
    auto* data = make_owned<SchemaPrivate>();
    try {
        data->children.resize(fields.size());
        data->dictionaries.resize(fields.size());
        data->child_pointers.reserve(fields.size());
        const String json = pandas_metadata(fields);
        append_int32(data->metadata, 1);
        append_int32(data->metadata, 6);
        data->metadata += "pandas";
        append_int32(data->metadata, json.size());
        data->metadata += json;
    } catch (...) {
        data->~SchemaPrivate();
        free_bytes(data);
        throw;
    }
    for (std::size_t at = 0; at < fields.size(); ++at) {
        ArrowSchema& child = data->children[at];
        child = ArrowSchema{};
        child.format = fields[at].format;
        child.name = fields[at].name.data();
        child.flags = ARROW_FLAG_NULLABLE;
        child.release = &release_child;
        if (fields[at].dictionary_format != nullptr) {
            ArrowSchema& dictionary = data->dictionaries[at];
            dictionary = ArrowSchema{};
            dictionary.format = fields[at].dictionary_format;
            dictionary.name = "";
            dictionary.flags = ARROW_FLAG_NULLABLE;
            dictionary.release = &release_child;
            child.dictionary = &dictionary;
        }
        data->child_pointers.push_back(&child);
    }
    *out = ArrowSchema{};
    out->format = "+s";
    out->name = "";
    out->metadata = data->metadata.data();
    out->n_children = static_cast<std::int64_t>(fields.size());
    out->children = data->child_pointers.data();
    out->release = &release_schema;
    out->private_data = data;
}

}  // namespace kz
