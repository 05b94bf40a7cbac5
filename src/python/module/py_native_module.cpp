// kadenzo._native: one module object, filled by each feature's own part.
#include "python/module/py_native_module.hpp"

#include "python/binding/py_panic.hpp"
#include "python/binding/py_ref.hpp"
#include "python/bulk/py_bulk.hpp"
#include "python/bulk/py_columns_stream.hpp"
#include "python/columns/py_frame_columns.hpp"
#include "python/compare/py_compare.hpp"
#include "python/dataset/py_dataset.hpp"
#include "python/flags/py_mod_bits.hpp"
#include "python/block_alone/py_frames.hpp"
#include "python/layout/py_layout.hpp"
#include "python/salvage/py_salvage.hpp"
#include "python/writer/py_writer.hpp"

namespace kz::py {
namespace {

// Each feature adds its functions and classes here, one call per feature.
bool add_parts(PyObject* native) {
    return add_panic_pickling(native) && add_bulk(native) && add_frame_columns(native) && add_columns_stream(native) &&
           add_compare(native) && add_frames(native) && add_layout(native) && add_mod_bits(native) &&
           add_salvage(native) && add_writer(native) && add_dataset(native);
}

// Multi-phase initialisation: the import system's extension loader creates
// the module object (python/kadenzo/_native.py asks it to); this fills it.
int fill_native_module(PyObject* native) noexcept {
    return guarded([&] { return add_parts(native) ? 0 : -1; }, -1);
}

PyModuleDef_Slot native_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&fill_native_module)},
    {0, nullptr},
};

PyModuleDef native_definition = {
    PyModuleDef_HEAD_INIT,
    "kadenzo._native",
    "Native functions behind kadenzo's Python modules.",
    0,
    nullptr,
    native_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace kz::py

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&kz::py::native_definition); }
