// The fields of kadenzo.dataset's two tables (one row per replay; one row per
// frame of every file): names, Arrow types and order, and their schemas.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "columns/arrow_c_abi.hpp"
#include "common/memory.hpp"

namespace kz {

enum class TableKind : std::uint8_t { Summary, Frames };

// What a column holds. Header: a field of the file's layout, stored as its
// record member holds it (TableField::layout_row names the row).
enum class FieldId : std::uint8_t {
    Path,
    Mode,
    Header,
    Mods,
    ModsNames,
    PlayedAt,
    FrameCount,
    RngSeed,
    FileIndex,
    Time,
    TimeDelta,
    X,
    XInt,
    Y,
    Keys,
    Dashing,
    Error,
};

inline constexpr std::uint8_t kNoLayoutRow = 0xFF;

struct TableField {
    FieldId id = FieldId::Path;
    std::string_view name;                    // static, NUL-terminated
    const char* format = nullptr;             // Arrow format; that of the indices for a dictionary
    const char* dictionary_format = nullptr;  // the values' format of a dictionary field, else null
    // The nullable pandas dtype the schema's metadata names for the column
    // ("Int64"), so a null never turns integers into floats; null for others.
    const char* pandas_dtype = nullptr;
    std::uint8_t layout_row = kNoLayoutRow;  // Header: the row of src/layout/replay_layout.hpp
};

// Every field of the table, in its order.
std::span<const TableField> table_fields(TableKind kind) noexcept;

// The fields named by `names`, in that order; none when a name is not one of
// the table's (the caller has checked names and says which).
std::optional<Vec<TableField>> project_fields(TableKind kind, std::span<const std::string_view> names);

// A struct type with one nullable child per field, carrying the pandas
// metadata of the integer and boolean fields. Throws std::bad_alloc.
void export_table_schema(std::span<const TableField> fields, ArrowSchema* out);

}  // namespace kz
