// Generic special operations of the record classes: construction from the
// field table, repr as the debug text.
#pragma once

#include <Python.h>

#include <array>

#include "debug_text/debug_text.hpp"
#include "python/binding/py_arguments.hpp"
#include "python/binding/py_attributes.hpp"

namespace kz::py {

namespace detail {
template <class... Fields>
constexpr auto parameter_names(FieldList<Fields...>) {
    return std::array<const char*, sizeof...(Fields)>{Fields::c_name...};
}

template <class R, class... Fields>
bool convert_fields(const Signature& signature, const Bound<sizeof...(Fields)>& slots, R& record,
                    FieldList<Fields...>) {
    return convert_arguments(signature, slots, (record.*Fields::member)...);
}
}  // namespace detail

// tp_new: every field is a required parameter, in declaration order.
template <NamedRecord R>
PyObject* construct_from_fields(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
    using Fields = typename RecordInfo<R>::fields;
    static constexpr auto names = detail::parameter_names(Fields{});
    static constexpr Signature signature{python_name<R>(), "__new__", names, names.size()};
    return guarded(
        [&]() -> PyObject* {
            Bound<Fields::size> slots{};
            if (!bind_tuple(signature, args, kwargs, slots)) return nullptr;
            R record{};
            if (!detail::convert_fields(signature, slots, record, Fields{})) return nullptr;
            return make_object<R>(std::move(record));
        },
        static_cast<PyObject*>(nullptr));
}

// A new str from UTF-8 text built by the core.
inline PyObject* text_to_str(const String& text) {
    return checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

// tp_repr: the record's debug text, built in one piece.
template <class R>
PyObject* repr_as_debug_text(PyObject* self) noexcept {
    return guarded(
        [&]() -> PyObject* {
            auto* instance = as_instance<R>(self);
            SharedBorrow borrow(instance->borrow);
            if (!borrow.held()) return nullptr;
            return text_to_str(debug_text(instance->record));
        },
        static_cast<PyObject*>(nullptr));
}

}  // namespace kz::py
