// Converters between Python values and stored values, one per target kind.
// from_py returns false with a Python exception set; to_py returns a new
// reference and stops (PanicException) if the interpreter runs out of memory.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string_view>

#include "python/binding/py_class.hpp"
#include "python/binding/py_ref.hpp"
#include "common/memory.hpp"
#include "common/shared_frames.hpp"

namespace kz::py {

// TypeError "'<qualname of value's type>' object cannot be converted to '<target>'".
void raise_type_mismatch(PyObject* value, const char* target) noexcept;

// Replaces a pending exactly-TypeError by "argument '<name>': <message>",
// keeping its cause; other exceptions pass unchanged.
void reword_argument_error(const char* parameter) noexcept;

// A borrowed view of a `bytes` argument, valid while the argument is held.
struct BytesView {
    std::string_view bytes;
};

// Converts a result that can only fail on memory exhaustion.
inline PyObject* checked(PyObject* object) {
    assert_interpreter_lock_held();
    if (object == nullptr) stop_with_python_error();
    return object;
}

template <class T>
struct Converter;

template <>
struct Converter<bool> {
    static bool from_py(PyObject* value, bool& out) noexcept;
    static PyObject* to_py(bool value) noexcept { return Py_NewRef(value ? Py_True : Py_False); }
};

template <>
struct Converter<std::int16_t> {
    static bool from_py(PyObject* value, std::int16_t& out) noexcept;
    static PyObject* to_py(std::int16_t value) { return checked(PyLong_FromLong(value)); }
};

template <>
struct Converter<std::int32_t> {
    static bool from_py(PyObject* value, std::int32_t& out) noexcept;
    static PyObject* to_py(std::int32_t value) { return checked(PyLong_FromLong(value)); }
};

template <>
struct Converter<std::int64_t> {
    static bool from_py(PyObject* value, std::int64_t& out) noexcept;
    static PyObject* to_py(std::int64_t value) { return checked(PyLong_FromLongLong(value)); }
};

template <>
struct Converter<std::uint32_t> {
    static bool from_py(PyObject* value, std::uint32_t& out) noexcept;
    static PyObject* to_py(std::uint32_t value) { return checked(PyLong_FromUnsignedLong(value)); }
};

template <>
struct Converter<std::uint64_t> {
    static bool from_py(PyObject* value, std::uint64_t& out) noexcept;
    static PyObject* to_py(std::uint64_t value) { return checked(PyLong_FromUnsignedLongLong(value)); }
};

template <>
struct Converter<double> {
    static bool from_py(PyObject* value, double& out) noexcept;
    static PyObject* to_py(double value) { return checked(PyFloat_FromDouble(value)); }
};

// Stored as 32 bits: a Python float is brought to the nearest float when stored.
template <>
struct Converter<float> {
    static bool from_py(PyObject* value, float& out) noexcept;
    static PyObject* to_py(float value) { return checked(PyFloat_FromDouble(value)); }
};

template <>
struct Converter<String> {
    static bool from_py(PyObject* value, String& out);
    static PyObject* to_py(const String& value);
};

template <>
struct Converter<BytesView> {
    static bool from_py(PyObject* value, BytesView& out) noexcept;
};

// Any object, borrowed for the call, for a function that looks at it itself
// (an iterable of paths, a path or contents).
struct Borrowed {
    PyObject* object = nullptr;
};

template <>
struct Converter<Borrowed> {
    static bool from_py(PyObject* value, Borrowed& out) noexcept {
        out.object = value;
        return true;
    }
};

template <class T>
struct Converter<std::optional<T>> {
    static bool from_py(PyObject* value, std::optional<T>& out) {
        if (value == Py_None) {
            out.reset();
            return true;
        }
        T inner{};
        if (!Converter<T>::from_py(value, inner)) return false;
        out = std::move(inner);
        return true;
    }
    static PyObject* to_py(const std::optional<T>& value) {
        return value ? Converter<T>::to_py(*value) : Py_NewRef(Py_None);
    }
};

// Refuses str (which is a sequence of characters) and non-sequences; sets the
// exception and returns false. On success `hint` is the reported length.
bool check_list_source(PyObject* value, Py_ssize_t& hint) noexcept;

// The most items a list conversion reserves up front; longer lists grow.
inline constexpr std::size_t kMaxReservedItems = 1 << 16;

template <class T>
struct Converter<Vec<T>> {
    static bool from_py(PyObject* value, Vec<T>& out) {
        assert_interpreter_lock_held();
        Py_ssize_t hint = 0;
        if (!check_list_source(value, hint)) return false;
        Ref iterator = Ref::steal(PyObject_GetIter(value));
        if (!iterator) return false;
        Vec<T> items;
        // The reported length is only a hint: a sequence may claim far more
        // items than it yields, so the first reservation is bounded.
        items.reserve(std::min(static_cast<std::size_t>(hint), kMaxReservedItems));
        while (PyObject* raw = PyIter_Next(iterator.get())) {
            Ref item = Ref::steal(raw);
            T converted{};
            if (!Converter<T>::from_py(item.get(), converted)) return false;
            items.push_back(std::move(converted));
        }
        if (PyErr_Occurred()) return false;
        out = std::move(items);
        return true;
    }

    // Preallocated list filled in place: one allocation per item, no resizing;
    // items of the module's classes look their class up once per list.
    static PyObject* to_py(const Vec<T>& values) {
        Ref list = Ref::steal(checked(PyList_New(static_cast<Py_ssize_t>(values.size()))));
        Py_ssize_t index = 0;
        if constexpr (HasClass<T>) {
            PyTypeObject* const type = type_of<T>();
            for (const T& value : values) PyList_SET_ITEM(list.get(), index++, make_object_of<T>(type, value));
        } else {
            for (const T& value : values) PyList_SET_ITEM(list.get(), index++, Converter<T>::to_py(value));
        }
        return list.release();
    }
};

// A shared frame list reads and writes as a list: every read builds a new
// list; a stored list becomes storage of its own.
template <class T>
struct Converter<SharedFrames<T>> {
    static bool from_py(PyObject* value, SharedFrames<T>& out) {
        Vec<T> items;
        if (!Converter<Vec<T>>::from_py(value, items)) return false;
        out = SharedFrames<T>(std::move(items));
        return true;
    }
    static PyObject* to_py(const SharedFrames<T>& value) { return Converter<Vec<T>>::to_py(value.frames()); }
};

// Instances of the module's classes: the record is copied out under a shared borrow.
template <HasClass R>
struct Converter<R> {
    static bool from_py(PyObject* value, R& out) {
        assert_interpreter_lock_held();
        if (!is_instance<R>(value)) {
            raise_type_mismatch(value, python_name<R>());
            return false;
        }
        auto* instance = as_instance<R>(value);
        SharedBorrow borrow(instance->borrow);
        if (!borrow.held()) return false;
        out = instance->record;
        return true;
    }
    static PyObject* to_py(const R& value) { return make_object<R>(R(value)); }
};

}  // namespace kz::py
