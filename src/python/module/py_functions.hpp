// The module functions, as method descriptors bound to the module at import.
#pragma once

#include <Python.h>

namespace kz::py {

extern PyMethodDef parse_replay_from_bytes_def;
extern PyMethodDef parse_replay_from_path_def;
extern PyMethodDef parse_replay_data_def;

}  // namespace kz::py
