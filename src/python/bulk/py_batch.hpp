// kadenzo.parse_replays_from_paths, the module function of batch decoding.
#pragma once

#include <Python.h>

namespace kz::py {

extern PyMethodDef parse_replays_from_paths_def;

}  // namespace kz::py
