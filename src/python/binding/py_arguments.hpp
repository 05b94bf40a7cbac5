// Argument binding for every callable of the module: a static signature per
// callable, one binder, one set of messages; then conversion in parameter order.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <span>
#include <tuple>

#include "python/binding/py_convert.hpp"

namespace kz::py {

// Every parameter may be given by position or by keyword; the first
// `required` ones must be given.
struct Signature {
    const char* qualifier;  // the class name for constructors, null for module functions
    const char* name;       // "__new__" or the function name
    std::span<const char* const> parameters;
    std::size_t required;
};

// One slot per parameter: the bound object (borrowed) or null when not given.
template <std::size_t N>
using Bound = std::array<PyObject*, N>;

// The number of positional arguments of a vectorcall, without the flag bit
// the interpreter may set in `nargsf`.
inline std::size_t positional_count_of(Py_ssize_t nargsf) noexcept {
    return static_cast<std::size_t>(PyVectorcall_NARGS(static_cast<std::size_t>(nargsf)));
}

// Vectorcall form: positional values, then the values of `keyword_names`.
bool bind_vector(const Signature& signature, PyObject* const* args, std::size_t positional_count,
                 PyObject* keyword_names, std::span<PyObject*> slots) noexcept;

// tp_new form: an argument tuple and an optional keyword dict.
bool bind_tuple(const Signature& signature, PyObject* args, PyObject* kwargs, std::span<PyObject*> slots) noexcept;

namespace detail {
template <class T>
bool convert_slot(const Signature& signature, std::size_t index, PyObject* slot, T& out) {
    if (slot == nullptr) return true;  // optional and not given: keeps its default
    if (Converter<T>::from_py(slot, out)) return true;
    reword_argument_error(signature.parameters[index]);
    return false;
}
}  // namespace detail

// Converts the bound slots into `outs`, in parameter order; the first failure
// ends the conversion with its (reworded) exception set.
template <std::size_t N, class... Ts>
bool convert_arguments(const Signature& signature, const Bound<N>& slots, Ts&... outs) {
    static_assert(sizeof...(Ts) == N);
    std::size_t index = 0;
    return ((detail::convert_slot(signature, index, slots[index], outs) && (++index, true)) && ...);
}

// The whole call of a module function (vectorcall with keyword names): binds,
// converts into `values` (which hold the defaults of optional parameters),
// then returns impl(values...). Null with the exception set on failure. Not
// noexcept: impl may release the interpreter lock (see guarded).
template <class... Params, class Impl>
PyObject* call_function(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* keyword_names,
                        std::tuple<Params...> values, Impl&& impl) {
    return guarded(
        [&]() -> PyObject* {
            Bound<sizeof...(Params)> slots{};
            const auto positional_count = positional_count_of(nargs);
            if (!bind_vector(signature, args, positional_count, keyword_names, slots)) return nullptr;
            const bool converted =
                std::apply([&](Params&... outs) { return convert_arguments(signature, slots, outs...); }, values);
            if (!converted) return nullptr;
            return std::apply(impl, std::move(values));
        },
        static_cast<PyObject*>(nullptr));
}

// The same for a constructor (tp_new with an argument tuple and keyword dict).
template <class... Params, class Impl>
PyObject* call_constructor(const Signature& signature, PyObject* args, PyObject* kwargs, std::tuple<Params...> values,
                           Impl&& impl) {
    return guarded(
        [&]() -> PyObject* {
            Bound<sizeof...(Params)> slots{};
            if (!bind_tuple(signature, args, kwargs, slots)) return nullptr;
            const bool converted =
                std::apply([&](Params&... outs) { return convert_arguments(signature, slots, outs...); }, values);
            if (!converted) return nullptr;
            return std::apply(impl, std::move(values));
        },
        static_cast<PyObject*>(nullptr));
}

}  // namespace kz::py
