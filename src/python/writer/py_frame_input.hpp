// The frames handed to the writer from Python, in any of the forms it takes:
// a sequence of the mode's frame objects, a FrameColumns, or a mapping of the
// mode's field names to one-dimensional buffers (NumPy arrays, memoryviews).
#pragma once

#include <Python.h>

#include <array>
#include <variant>

#include "python/binding/py_ref.hpp"
#include "columns/arrow_export.hpp"
#include "writer/frame_text_writer.hpp"

namespace kz::py {

// Holds what it converted (frame records) or borrowed (buffers, kept
// exported, so their memory stays put while the lock is released).
class FrameInput {
public:
    FrameInput() = default;
    FrameInput(const FrameInput&) = delete;
    FrameInput& operator=(const FrameInput&) = delete;
    ~FrameInput();

    // False with TypeError (a wrong kind of object or element type) or
    // ValueError (a mode or field names that do not match) set.
    bool load(PyObject* frames, GameMode mode);

    // Valid while this object lives.
    const FrameSource& source() const noexcept { return source_; }

private:
    bool load_columns(PyObject* object, GameMode mode);
    bool load_mapping(PyObject* mapping, GameMode mode);
    template <class Frame>
    bool load_sequence(PyObject* sequence, GameMode mode);

    std::variant<std::monostate, Vec<ReplayEventKivo>, Vec<ReplayEventTaiko>, Vec<ReplayEventCatch>,
                 Vec<ReplayEventMania>>
        records_;
    SharedFrameColumns columns_;
    std::array<Py_buffer, 4> buffers_{};
    std::size_t held_buffers_ = 0;
    FrameSource source_;
};

}  // namespace kz::py
