#include "dataset/table_fields.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "columns/arrow_struct_schema.hpp"
#include "layout/replay_layout.hpp"

namespace kz {
namespace {

// Dictionary-encoded text: int32 indices (paths, names), int8 (the five modes).
constexpr const char* kTextKeys = "i";
constexpr const char* kModeKeys = "c";

// Texts that repeat from play to play (a player's name) are dictionary-encoded.
constexpr std::array<std::string_view, 1> kDictionaryTexts{"username"};

// The Arrow format and pandas dtype of a column holding a record member of type T.
template <class T>
constexpr TableField column_of(std::string_view name, std::size_t row) {
    TableField field{FieldId::Header, name, nullptr, nullptr, nullptr, static_cast<std::uint8_t>(row)};
    if constexpr (std::is_same_v<T, bool>) {
        field.format = "b";
        field.pandas_dtype = "boolean";
    } else if constexpr (std::is_same_v<T, std::int16_t>) {
        field.format = "s";
        field.pandas_dtype = "Int16";
    } else if constexpr (std::is_same_v<T, std::int32_t>) {
        field.format = "i";
        field.pandas_dtype = "Int32";
    } else if constexpr (std::is_same_v<T, std::int64_t>) {
        field.format = "l";
        field.pandas_dtype = "Int64";
    } else if constexpr (std::is_same_v<T, std::uint64_t>) {
        field.format = "L";
        field.pandas_dtype = "UInt64";
    } else {
        static_assert(std::is_same_v<T, OptionalText>, "a header column holds a number, a flag or a text");
        const bool dictionary =
            std::find(kDictionaryTexts.begin(), kDictionaryTexts.end(), name) != kDictionaryTexts.end();
        field.format = dictionary ? kTextKeys : "u";
        field.dictionary_format = dictionary ? "u" : nullptr;
    }
    return field;
}

template <std::size_t Row>
constexpr TableField header_column() {
    using Member = std::remove_cvref_t<decltype(std::declval<Replay&>().*layout::FieldAt<Row>::member)>;
    return column_of<Member>(layout::kFields[Row].name, Row);
}

// The header's stored fields between the mode and the modifiers, in file order.
constexpr std::size_t kModeRow = *layout::field_index("mode");
constexpr std::size_t kModsRow = *layout::field_index("mods");
constexpr auto kHeaderColumns = []<std::size_t... I>(std::index_sequence<I...>) {
    return std::array<TableField, sizeof...(I)>{header_column<kModeRow + 1 + I>()...};
}(std::make_index_sequence<kModsRow - kModeRow - 1>{});

constexpr auto kSummaryFields = [] {
    constexpr std::array kBefore{
        TableField{FieldId::Path, "path", kTextKeys, "u", nullptr},
        TableField{FieldId::Mode, "mode", kModeKeys, "u", nullptr},
    };
    constexpr std::array kAfter{
        TableField{FieldId::Mods, "mods", "l", nullptr, "Int64"},
        TableField{FieldId::ModsNames, "mods_names", "u", nullptr, nullptr},
        header_column<*layout::field_index("timestamp")>(),
        TableField{FieldId::PlayedAt, "played_at", "tsu:UTC", nullptr, nullptr},
        header_column<*layout::field_index("replay_id")>(),
        TableField{FieldId::FrameCount, "frame_count", "l", nullptr, "Int64"},
        TableField{FieldId::RngSeed, "rng_seed", "i", nullptr, "Int32"},
        TableField{FieldId::Error, "error", "u", nullptr, nullptr},
    };
    std::array<TableField, kBefore.size() + kHeaderColumns.size() + kAfter.size()> all{};
    auto at = std::copy(kBefore.begin(), kBefore.end(), all.begin());
    at = std::copy(kHeaderColumns.begin(), kHeaderColumns.end(), at);
    std::copy(kAfter.begin(), kAfter.end(), at);
    return all;
}();

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
