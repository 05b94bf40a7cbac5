// The schema of a struct array exported through the Arrow C data interface:
// one child per field, dictionary fields with their values' type, and the
// schema's metadata. Frame columns and the dataset's tables export theirs here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "columns/arrow_c_abi.hpp"
#include "common/memory.hpp"

namespace kz {

struct StructSchemaField {
    const char* name = nullptr;               // static, NUL-terminated
    const char* format = nullptr;             // Arrow format; that of the indices for a dictionary
    std::int64_t flags = 0;                   // ARROW_FLAG_NULLABLE where values may be missing
    const char* dictionary_format = nullptr;  // the values' format of a dictionary field, else null
};

// Schema metadata as the interface encodes it: an int32 count of entries,
// then each key and value as an int32 length and its bytes (native order).
void append_metadata_count(String& out, std::size_t count);
void append_metadata_entry(String& out, std::string_view key, std::string_view value);

// Fills `out` with a struct schema ("+s") of `fields`, carrying `metadata`
// (encoded as above; empty for none). `out` must be released by its release
// callback, which frees everything. Throws std::bad_alloc, leaving `out` as it was.
void export_struct_schema(std::span<const StructSchemaField> fields, String metadata, ArrowSchema* out);

}  // namespace kz
