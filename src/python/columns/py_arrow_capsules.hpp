// Exported Arrow structs in PyCapsules ("arrow_schema", "arrow_array",
// "arrow_array_stream"), as the Arrow PyCapsule interface hands them over.
#pragma once

#include <Python.h>

#include "columns/arrow_c_abi.hpp"
#include "common/memory.hpp"

namespace kz::py {

// An exported struct in a capsule. A consumer that takes it moves its content
// out (release becomes null); one left untaken is released with the capsule.
template <class S>
void destroy_capsule_content(PyObject* capsule, const char* name) noexcept {
    auto* content = static_cast<S*>(PyCapsule_GetPointer(capsule, name));
    if (content == nullptr) {
        PyErr_Clear();
        return;
    }
    if (content->release != nullptr) content->release(content);
    free_bytes(content);
}

inline void destroy_schema_capsule(PyObject* capsule) { destroy_capsule_content<ArrowSchema>(capsule, "arrow_schema"); }
inline void destroy_array_capsule(PyObject* capsule) { destroy_capsule_content<ArrowArray>(capsule, "arrow_array"); }
inline void destroy_stream_capsule(PyObject* capsule) {
    destroy_capsule_content<ArrowArrayStream>(capsule, "arrow_array_stream");
}

template <class S, class Export>
PyObject* capsule_of(const char* name, PyCapsule_Destructor destroy, Export&& fill) {
    auto* content = static_cast<S*>(allocate_bytes(sizeof(S)));
    try {
        fill(content);
    } catch (...) {
        free_bytes(content);
        throw;
    }
    PyObject* capsule = PyCapsule_New(content, name, destroy);
    if (capsule == nullptr) {
        content->release(content);
        free_bytes(content);
    }
    return capsule;
}

}  // namespace kz::py
