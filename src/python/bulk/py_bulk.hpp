// kadenzo._native's part for bulk decoding: the ordered stream of Replay
// objects over a Python iterator of paths, and the single-file decode, both
// waiting and decoding without the interpreter lock.
#pragma once

#include <Python.h>

namespace kz::py {

// Adds ReplayStream (the class), replay_stream and decode_one.
bool add_bulk(PyObject* native);

}  // namespace kz::py
