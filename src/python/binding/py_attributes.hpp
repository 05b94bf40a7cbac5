// Attribute get/set for record fields, generated from each record's field table.
#pragma once

#include <Python.h>

#include <array>
#include <utility>

#include "python/binding/py_convert.hpp"
#include "common/record_fields.hpp"

namespace kz::py {

// Step 0 of every attribute access: the object must be an instance of R's class.
template <class R>
Instance<R>* checked_instance(PyObject* self) {
    if (!is_instance<R>(self)) {
        raise_type_mismatch(self, python_name<R>());
        return nullptr;
    }
    return as_instance<R>(self);
}

// Builds a new Python value from the field, under a shared borrow.
template <class R, class F>
PyObject* get_field(PyObject* self, void*) noexcept {
    return guarded(
        [&]() -> PyObject* {
            Instance<R>* instance = checked_instance<R>(self);
            if (instance == nullptr) return nullptr;
            SharedBorrow borrow(instance->borrow);
            if (!borrow.held()) return nullptr;
            using Value = std::remove_cvref_t<decltype(instance->record.*F::member)>;
            return Converter<Value>::to_py(instance->record.*F::member);
        },
        static_cast<PyObject*>(nullptr));
}

// Converts the value and replaces the field under the exclusive borrow; on
// failure the field keeps its old value and the converter's error stands.
template <class R, class F>
int set_field(PyObject* self, PyObject* value, void*) noexcept {
    return guarded(
        [&]() -> int {
            Instance<R>* instance = checked_instance<R>(self);
            if (instance == nullptr) return -1;
            ExclusiveBorrow borrow(instance->borrow);
            if (!borrow.held()) return -1;
            if (value == nullptr) {
                PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
                return -1;
            }
            using Value = std::remove_cvref_t<decltype(instance->record.*F::member)>;
            Value converted{};
            if (!Converter<Value>::from_py(value, converted)) return -1;
            instance->record.*F::member = std::move(converted);
            return 0;
        },
        -1);
}

namespace detail {
template <class R, class... Fields>
PyGetSetDef* getset_table(FieldList<Fields...>) {
    static PyGetSetDef table[] = {
        {Fields::c_name, &get_field<R, Fields>, &set_field<R, Fields>, nullptr, nullptr}...,
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    return table;
}
}  // namespace detail

// One read-write attribute per field of R, in declaration order, undocumented.
template <NamedRecord R>
PyGetSetDef* field_attributes() {
    return detail::getset_table<R>(typename RecordInfo<R>::fields{});
}

}  // namespace kz::py
