// An owning PyObject* handle: steal, borrow and release are explicit.
#pragma once

#include <Python.h>

#include <utility>

namespace kz::py {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(object_);
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    // Takes over a new reference (may be null, e.g. a failed API call).
    static Ref steal(PyObject* object) noexcept { return Ref(object); }
    // Adds a reference to an object owned elsewhere.
    static Ref borrow(PyObject* object) noexcept { return Ref(Py_XNewRef(object)); }

    PyObject* get() const noexcept { return object_; }
    // Hands the reference to the caller (for returning to the interpreter).
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace kz::py
