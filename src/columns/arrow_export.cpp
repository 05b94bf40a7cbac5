#include "columns/arrow_export.hpp"

#include "columns/arrow_struct_schema.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

namespace kz {
namespace {

// Private data of exported structs lives in the module's allocator too.
template <class T, class... Args>
T* make_owned(Args&&... args) {
    void* memory = allocate_bytes(sizeof(T));
    return ::new (memory) T(std::forward<Args>(args)...);
}

template <class T>
void destroy_owned(T* object) noexcept {
    object->~T();
    free_bytes(object);
}

const char* arrow_format(ColumnType type) noexcept {
    switch (type) {
        case ColumnType::Int64: return "l";
        case ColumnType::Float64: return "g";
        case ColumnType::Int32: return "i";
        case ColumnType::Bool: return "b";
    }
    return "l";
}

// --- schema ------------------------------------------------------------------

String schema_metadata(const FrameColumns& columns) {
    String out;
    append_metadata_count(out, (columns.rng_seed() ? 2 : 1) + columns.metadata().size());
    append_metadata_entry(out, "kadenzo.mode", game_mode_name(columns.mode()));
    if (columns.rng_seed()) {
        char digits[16];
        const int written = std::snprintf(digits, sizeof digits, "%d", static_cast<int>(*columns.rng_seed()));
        append_metadata_entry(out, "kadenzo.rng_seed", std::string_view(digits, static_cast<std::size_t>(written)));
    }
    for (const auto& [key, value] : columns.metadata()) append_metadata_entry(out, key, value);
    return out;
}

// --- arrays ------------------------------------------------------------------

// Every exported array, the struct and each child alike, holds the columns:
// a consumer may move a child out and release it after the struct.
struct ArrayPrivate {
    SharedFrameColumns columns;
    const void* buffers[2] = {nullptr, nullptr};
    Vec<ArrowArray> children;
    Vec<ArrowArray*> child_pointers;
};

void release_array(ArrowArray* array) {
    auto* data = static_cast<ArrayPrivate*>(array->private_data);
    for (ArrowArray& child : data->children) {
        if (child.release != nullptr) child.release(&child);
    }
    destroy_owned(data);
    array->release = nullptr;
}

void fill_array(ArrowArray* out, ArrayPrivate* data, std::size_t length, std::int64_t buffer_count) {
    *out = ArrowArray{};
    out->length = static_cast<std::int64_t>(length);
    out->null_count = 0;
    out->offset = 0;
    out->n_buffers = buffer_count;
    out->buffers = data->buffers;  // the validity bitmap stays null: no value is missing
    out->n_children = static_cast<std::int64_t>(data->child_pointers.size());
    out->children = data->child_pointers.empty() ? nullptr : data->child_pointers.data();
    out->dictionary = nullptr;
    out->release = &release_array;
    out->private_data = data;
}

// --- stream ------------------------------------------------------------------

struct StreamPrivate {
    SharedFrameColumns columns;
    bool with_time = false;
    bool done = false;
};

int stream_schema(ArrowArrayStream* stream, ArrowSchema* out) {
    try {
        const auto* data = static_cast<StreamPrivate*>(stream->private_data);
        export_schema(*data->columns, data->with_time, out);
        return 0;
    } catch (...) {
        return ENOMEM;
    }
}

int stream_next(ArrowArrayStream* stream, ArrowArray* out) {
    auto* data = static_cast<StreamPrivate*>(stream->private_data);
    if (data->done) {
        *out = ArrowArray{};  // a released array marks the end of the stream
        return 0;
    }
    try {
        export_array(data->columns, data->with_time, out);
    } catch (...) {
        return ENOMEM;
    }
    data->done = true;
    return 0;
}

const char* stream_error(ArrowArrayStream*) { return nullptr; }

void release_stream(ArrowArrayStream* stream) {
    destroy_owned(static_cast<StreamPrivate*>(stream->private_data));
    stream->release = nullptr;
}

}  // namespace

SharedFrameColumns share(FrameColumns columns) {
    return std::allocate_shared<const FrameColumns>(Allocator<FrameColumns>{}, std::move(columns));
}

void export_schema(const FrameColumns& columns, bool with_time, ArrowSchema* out) {
    const std::span<const Column> fields = with_time ? columns.columns_with_time() : columns.columns();
    Vec<StructSchemaField> children;
    children.reserve(fields.size());
    for (const Column& column : fields) {
        children.push_back({column.name.data(), arrow_format(column.type)});  // the name: NUL-terminated static text
    }
    export_struct_schema(children, schema_metadata(columns), out);
}

void export_array(const SharedFrameColumns& columns, bool with_time, ArrowArray* out) {
    const std::span<const Column> fields = with_time ? columns->columns_with_time() : columns->columns();
    auto* data = make_owned<ArrayPrivate>();
    data->columns = columns;
    try {
        data->children.resize(fields.size());
        data->child_pointers.reserve(fields.size());
        for (std::size_t index = 0; index < fields.size(); ++index) {
            const Column& column = fields[index];
            auto* child_data = make_owned<ArrayPrivate>();
            child_data->columns = columns;
            // Booleans travel packed, one bit per frame; every other type as stored.
            child_data->buffers[1] = column.type == ColumnType::Bool ? column.bits.data() : column.values.data();
            fill_array(&data->children[index], child_data, columns->length(), 2);
            data->child_pointers.push_back(&data->children[index]);
        }
    } catch (...) {
        for (ArrowArray& child : data->children) {
            if (child.release != nullptr) child.release(&child);
        }
        destroy_owned(data);
        throw;
    }
    fill_array(out, data, columns->length(), 1);
}

void export_stream(const SharedFrameColumns& columns, bool with_time, ArrowArrayStream* out) {
    auto* data = make_owned<StreamPrivate>();
    data->columns = columns;
    data->with_time = with_time;
    *out = ArrowArrayStream{};
    out->get_schema = &stream_schema;
    out->get_next = &stream_next;
    out->get_last_error = &stream_error;
    out->release = &release_stream;
    out->private_data = data;
}

}  // namespace kz
