// The writing part of kadenzo._native: replays, frame texts and frame blocks
// as bytes, made without the interpreter lock.
#pragma once

#include <Python.h>

namespace kz::py {

// Adds encode_replay, encode_frame_text and encode_frame_block to kadenzo._native.
bool add_writer(PyObject* native);

}  // namespace kz::py
