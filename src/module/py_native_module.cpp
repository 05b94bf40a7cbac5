// kadenzo._native: one module object, filled by each feature's own part.
#include "module/py_native_module.hpp"

#include "binding/py_panic.hpp"
#include "binding/py_ref.hpp"
#include "bulk/py_bulk.hpp"
#include "columns/py_frame_columns.hpp"
#include "compare/py_compare.hpp"
#include "dataset/py_dataset.hpp"
#include "frames/py_frames.hpp"
#include "layout/py_layout.hpp"
#include "salvage/py_salvage.hpp"
#include "writer/py_writer.hpp"

namespace kz::py {
namespace {

PyModuleDef native_definition = {
    PyModuleDef_HEAD_INIT,
    "kadenzo._native",
    "Native functions behind kadenzo's Python modules.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Each feature adds its functions and classes here, one call per feature.
bool add_parts(PyObject* native) {
    return add_panic_pickling(native) && add_bulk(native) && add_frame_columns(native) && add_compare(native) &&
           add_frames(native) && add_layout(native) && add_salvage(native) && add_writer(native) && add_dataset(native);
}

}  // namespace

bool register_native_module() {
    Ref native = Ref::steal(PyModule_Create2(&native_definition, PYTHON_API_VERSION));
    if (!native || !add_parts(native.get())) return false;
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    return PyDict_SetItemString(modules, "kadenzo._native", native.get()) == 0;
}

}  // namespace kz::py
