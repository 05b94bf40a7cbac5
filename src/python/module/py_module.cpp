// Module initialisation: once per process, the eleven classes and four functions in order.
#include <Python.h>

#include <atomic>

#include "python/bulk/py_batch.hpp"
#include "python/binding/py_class.hpp"
#include "python/binding/py_convert.hpp"
#include "python/binding/py_ref.hpp"
#include "python/module/py_functions.hpp"

namespace kz::py {
namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "kadenzo", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Class objects are process-wide and never released, so a second module
// object would share them with the first; initialisation is allowed once.
std::atomic<bool> initialised{false};

// Appends `name` to the module's __all__ (created on first use) and binds it.
bool add_name(PyObject* module, const char* name, PyObject* object) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    } else if (!PyList_Check(all.get())) {
        raise_type_mismatch(all.get(), "PyList");
        return false;
    }
    if (PyList_Append(all.get(), Ref::steal(PyUnicode_FromString(name)).get()) < 0) {
        PyErr_Clear();
        stop("could not append __name__ to __all__");
    }
    return PyObject_SetAttrString(module, name, object) == 0;
}

bool add_class(PyObject* module, PyTypeObject* type) {
    Ref name = Ref::steal(PyType_GetName(type));
    const char* text = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
    return text != nullptr && add_name(module, text, reinterpret_cast<PyObject*>(type));
}

bool add_function(PyObject* module, PyMethodDef* definition) {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return false;
    Ref function = Ref::steal(PyCMethod_New(definition, module, module_name.get(), nullptr));
    if (!function) return false;
    Ref name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
    const char* text = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
    return text != nullptr && add_name(module, text, function.get());
}

// The package's version, outside __all__: the one name beside the module's own.
bool add_version(PyObject* module) { return PyModule_AddStringConstant(module, "__version__", KADENZO_VERSION) == 0; }

bool module_body(PyObject* module) {
    return add_class(module, type_of<Replay>()) && add_class(module, type_of<ReplayEventKivo>()) &&
           add_class(module, type_of<ReplayEventTaiko>()) && add_class(module, type_of<ReplayEventCatch>()) &&
           add_class(module, type_of<ReplayEventMania>()) && add_class(module, type_of<LifeBarState>()) &&
           add_class(module, type_of<Mod>()) && add_class(module, type_of<GameMode>()) &&
           add_class(module, type_of<Key>()) && add_class(module, type_of<KeyTaiko>()) &&
           add_class(module, type_of<KeyMania>()) && add_function(module, &parse_replay_from_bytes_def) &&
           add_function(module, &parse_replay_from_path_def) && add_function(module, &parse_replays_from_paths_def) &&
           add_function(module, &parse_replay_data_def) && add_version(module);
}

PyObject* initialise() noexcept {
    Ref module = Ref::steal(PyModule_Create2(&module_definition, PYTHON_API_VERSION));
    if (!module) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        }
        return nullptr;
    }
    if (initialised.exchange(true)) {
        PyErr_SetString(PyExc_ImportError, "Tarvel modules may only be initialized once per interpreter process");
        return nullptr;
    }
    tune_allocator();
    const bool ok = guarded([&] { return module_body(module.get()); }, false);
    return ok ? module.release() : nullptr;
}

}  // namespace
}  // namespace kz::py

PyMODINIT_FUNC PyInit_kadenzo() { return kz::py::initialise(); }
