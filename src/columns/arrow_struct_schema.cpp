#include "columns/arrow_struct_schema.hpp"

#include <cstring>
#include <new>
#include <utility>

namespace kz {
namespace {

struct SchemaPrivate {
    Vec<ArrowSchema> children;
    Vec<ArrowSchema*> child_pointers;
    Vec<ArrowSchema> dictionaries;  // one per field; used by dictionary fields only
    String metadata;
};

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

void append_int32(String& out, std::size_t value) {
    const auto number = static_cast<std::int32_t>(value);
    char bytes[sizeof number];
    std::memcpy(bytes, &number, sizeof number);  // native byte order, as the interface wants
    out.append(bytes, sizeof bytes);
}

}  // namespace

void append_metadata_count(String& out, std::size_t count) { append_int32(out, count); }

void append_metadata_entry(String& out, std::string_view key, std::string_view value) {
    append_int32(out, key.size());
    out += key;
    append_int32(out, value.size());
    out += value;
}

void export_struct_schema(std::span<const StructSchemaField> fields, String metadata, ArrowSchema* out) {
    // The private data lives in the module's allocator, as every exported struct's does.
    auto* data = ::new (allocate_bytes(sizeof(SchemaPrivate))) SchemaPrivate{};
    try {
        data->children.resize(fields.size());
        data->dictionaries.resize(fields.size());
        data->child_pointers.reserve(fields.size());
    } catch (...) {
        data->~SchemaPrivate();
        free_bytes(data);
        throw;
    }
    data->metadata = std::move(metadata);
    for (std::size_t at = 0; at < fields.size(); ++at) {
        ArrowSchema& child = data->children[at];
        child = ArrowSchema{};
        child.format = fields[at].format;
        child.name = fields[at].name;
        child.flags = fields[at].flags;
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
    out->metadata = data->metadata.empty() ? nullptr : data->metadata.data();
    out->n_children = static_cast<std::int64_t>(fields.size());
    out->children = data->child_pointers.data();
    out->release = &release_schema;
    out->private_data = data;
}

}  // namespace kz
