// The binder and its messages.
#include "python/binding/py_arguments.hpp"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "python/binding/py_ref.hpp"
#include "common/memory.hpp"

namespace kz::py {
namespace {

String full_name(const Signature& signature) {
    String name;
    if (signature.qualifier != nullptr) {
        name += signature.qualifier;
        name += '.';
    }
    name += signature.name;
    name += "()";
    return name;
}

void append_count(String& out, std::size_t count) {
    char digits[24];
    const int length = std::snprintf(digits, sizeof digits, "%zu", count);
    out.append(digits, static_cast<std::size_t>(length));
}

bool raise_message(const String& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return false;
}

bool too_many_positional(const Signature& signature, std::size_t given) {
    String message = full_name(signature);
    const std::size_t total = signature.parameters.size();
    if (signature.required == total) {
        message += " takes ";
    } else {
        message += " takes from ";
        append_count(message, signature.required);
        message += " to ";
    }
    append_count(message, total);
    // "arguments" stays plural for every count, "was" follows the given count.
    message += " positional arguments but ";
    append_count(message, given);
    message += given == 1 ? " was given" : " were given";
    return raise_message(message);
}

// Fills the slot of keyword `name`, or raises the multiple-values or
// unexpected-keyword error.
bool bind_keyword(const Signature& signature, PyObject* name, PyObject* value, std::span<PyObject*> slots) {
    for (std::size_t index = 0; index < signature.parameters.size(); ++index) {
        if (!PyUnicode_Check(name) || PyUnicode_CompareWithASCIIString(name, signature.parameters[index]) != 0) {
            continue;
        }
        if (slots[index] != nullptr) {
            String message = full_name(signature);
            message += " got multiple values for argument '";
            message += signature.parameters[index];
            message += "'";
            return raise_message(message);
        }
        slots[index] = value;
        return true;
    }
    Ref shown = Ref::steal(PyObject_Str(name));
    if (!shown) return false;
    Ref message = Ref::steal(
        PyUnicode_FromFormat("%s got an unexpected keyword argument '%U'", full_name(signature).c_str(), shown.get()));
    if (message) PyErr_SetObject(PyExc_TypeError, message.get());
    return false;
}

bool check_missing(const Signature& signature, std::span<PyObject*> slots) {
    Vec<const char*> missing;
    for (std::size_t index = 0; index < signature.required; ++index) {
        if (slots[index] == nullptr) missing.push_back(signature.parameters[index]);
    }
    if (missing.empty()) return true;
    String message = full_name(signature);
    message += " missing ";
    append_count(message, missing.size());
    message += missing.size() == 1 ? " required positional argument: " : " required positional arguments: ";
    for (std::size_t index = 0; index < missing.size(); ++index) {
        if (index > 0) {
            // Two names: "'a' and 'b'"; three or more: "'a', 'b', and 'c'".
            if (missing.size() > 2) message += ',';
            message += index + 1 == missing.size() ? " and " : " ";
        }
        message += '\'';
        message += missing[index];
        message += '\'';
    }
    return raise_message(message);
}

bool bind_positional(const Signature& signature, PyObject* const* args, std::size_t count, std::span<PyObject*> slots) {
    if (count > signature.parameters.size()) return too_many_positional(signature, count);
    for (std::size_t index = 0; index < count; ++index) slots[index] = args[index];
    return true;
}

}  // namespace

bool bind_vector(const Signature& signature, PyObject* const* args, std::size_t positional_count,
                 PyObject* keyword_names, std::span<PyObject*> slots) noexcept {
    std::fill(slots.begin(), slots.end(), nullptr);
    return guarded(
        [&] {
            if (!bind_positional(signature, args, positional_count, slots)) return false;
            if (keyword_names != nullptr) {
                const Py_ssize_t keyword_count = PyTuple_GET_SIZE(keyword_names);
                for (Py_ssize_t index = 0; index < keyword_count; ++index) {
                    if (!bind_keyword(signature, PyTuple_GET_ITEM(keyword_names, index),
                                      args[positional_count + static_cast<std::size_t>(index)], slots)) {
                        return false;
                    }
                }
            }
            return check_missing(signature, slots);
        },
        false);
}

bool bind_tuple(const Signature& signature, PyObject* args, PyObject* kwargs, std::span<PyObject*> slots) noexcept {
    std::fill(slots.begin(), slots.end(), nullptr);
    return guarded(
        [&] {
            const auto count = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
            if (!bind_positional(signature, &PyTuple_GET_ITEM(args, 0), count, slots)) return false;
            if (kwargs != nullptr) {
                // Dict order is the order the caller passed the keywords in.
                Py_ssize_t position = 0;
                PyObject *name = nullptr, *value = nullptr;
                while (PyDict_Next(kwargs, &position, &name, &value)) {
                    if (!bind_keyword(signature, name, value, slots)) return false;
                }
            }
            return check_missing(signature, slots);
        },
        false);
}

}  // namespace kz::py
