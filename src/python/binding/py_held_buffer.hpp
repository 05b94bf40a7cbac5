// A bytes-like argument held for a call that reads it without the lock.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "python/binding/py_unlocked.hpp"
#include "failure/decode_result.hpp"

namespace kz::py {

// The export keeps a bytearray from being resized or an mmap from closing
// while the lock is released.
class HeldBuffer {
public:
    HeldBuffer() = default;
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    ~HeldBuffer() {
        // Without the lock the thread is being ended at shutdown: the export
        // is left to the exiting process.
        if (held_ && holds_interpreter_lock()) PyBuffer_Release(&view_);
    }

    // False with the exception set when `source` exports no buffer.
    bool acquire(PyObject* source) { return held_ = PyObject_GetBuffer(source, &view_, PyBUF_SIMPLE) == 0; }
    ByteView bytes() const noexcept {
        return ByteView(static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len));
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace kz::py
