// kadenzo._native.layout_fields, replay_fields and smallest_file, built from
// the layout table, the Replay record's field table and the dataset's.
#include "python/layout/py_layout.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

#include "dataset/table_fields.hpp"
#include "layout/replay_layout.hpp"
#include "python/binding/py_ref.hpp"

namespace kz::py {
namespace {

template <class>
inline constexpr bool kNoPythonType = false;

// The type a Replay attribute holds, as the type stub writes it.
template <class T>
constexpr std::string_view python_type() {
    if constexpr (std::is_same_v<T, bool>) {
        return "bool";
    } else if constexpr (std::is_integral_v<T>) {
        return "int";
    } else if constexpr (std::is_same_v<T, std::optional<std::int32_t>>) {
        return "int | None";
    } else if constexpr (std::is_same_v<T, OptionalText>) {
        return "str | None";
    } else if constexpr (std::is_same_v<T, GameMode>) {
        return "GameMode";
    } else if constexpr (std::is_same_v<T, Mod>) {
        return "Mod";
    } else if constexpr (std::is_same_v<T, std::optional<Vec<LifeBarState>>>) {
        return "list[LifeBarState] | None";
    } else if constexpr (std::is_same_v<T, ReplayDataContainer>) {
        return "ReplayDataContainer";
    } else {
        static_assert(kNoPythonType<T>, "name the Python type of this Replay member");
    }
}

// The Arrow type of a summary column as pyarrow spells it; empty for a
// format no summary column has.
std::string_view arrow_type(const TableField& field) noexcept {
    const std::string_view format = field.format;
    if (field.dictionary_format != nullptr) {
        if (format == "i") return "dictionary<values=string, indices=int32, ordered=0>";
        if (format == "c") return "dictionary<values=string, indices=int8, ordered=0>";
        return {};
    }
    if (format == "s") return "int16";
    if (format == "i") return "int32";
    if (format == "l") return "int64";
    if (format == "L") return "uint64";
    if (format == "b") return "bool";
    if (format == "u") return "string";
    return {};
}

Ref text(std::string_view value) {
    return Ref::steal(PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
}

Ref summary_type(std::string_view name) {
    for (const TableField& field : table_fields(TableKind::Summary)) {
        if (field.name != name) continue;
        const std::string_view type = arrow_type(field);
        if (!type.empty()) return text(type);
    }
    return Ref::steal(Py_NewRef(Py_None));
}

bool add_layout_fields(PyObject* native) {
    Ref fields = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(layout::kFields.size())));
    if (!fields) return false;
    for (std::size_t index = 0; index < layout::kFields.size(); ++index) {
        const layout::FieldInfo& field = layout::kFields[index];
        const Ref name = text(field.name);
        const Ref kind = text(layout::kind_name(field.kind));
        const Ref width = Ref::steal(PyLong_FromSize_t(field.width));
        if (!name || !kind || !width) return false;
        PyObject* row = PyTuple_Pack(3, name.get(), kind.get(), width.get());
        if (row == nullptr) return false;
        PyTuple_SET_ITEM(fields.get(), static_cast<Py_ssize_t>(index), row);  // steals row
    }
    return PyModule_AddObjectRef(native, "layout_fields", fields.get()) == 0;
}

bool add_replay_fields(PyObject* native) {
    using Fields = RecordInfo<Replay>::fields;
    Ref fields = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(Fields::size)));
    if (!fields) return false;
    bool ok = true;
    Py_ssize_t index = 0;
    Fields::for_each([&]<class F>(F) {
        if (!ok) return;
        using Member = std::remove_cvref_t<decltype(std::declval<Replay&>().*F::member)>;
        const Ref name = text(F::name);
        const Ref type = text(python_type<Member>());
        const Ref column = summary_type(F::name);
        PyObject* row = name && type && column ? PyTuple_Pack(3, name.get(), type.get(), column.get()) : nullptr;
        if (row == nullptr) {
            ok = false;
            return;
        }
        PyTuple_SET_ITEM(fields.get(), index++, row);  // steals row
    });
    return ok && PyModule_AddObjectRef(native, "replay_fields", fields.get()) == 0;
}

bool add_smallest_file(PyObject* native) {
    Py_ssize_t size = 0;
    for (const layout::FieldInfo& field : layout::kFields)
        size += static_cast<Py_ssize_t>(layout::min_width(field.kind));
    Ref file = Ref::steal(PyBytes_FromStringAndSize(nullptr, size));
    if (!file) return false;
    // Zero is every number's smallest value, an absent text and an empty block.
    std::fill_n(PyBytes_AS_STRING(file.get()), size, '\0');
    return PyModule_AddObjectRef(native, "smallest_file", file.get()) == 0;
}

}  // namespace

bool add_layout(PyObject* native) {
    return add_layout_fields(native) && add_replay_fields(native) && add_smallest_file(native);
}

}  // namespace kz::py
