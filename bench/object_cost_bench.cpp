// The benchmark's yardstick for frame objects: `_kadenzo_bench.minimal_objects`
// builds a list of instances of a minimal heap type (no attributes, no special
// operations beyond the defaults) of a given instance size, each filled from
// a slice of a bytes payload, the cheapest way the C API allows. bench_decode.py
// sets the frame lists of a replay against lists of these of the same length
// and instance size, built in the same run.
#include <Python.h>

#include <cstring>
#include <map>

namespace {

// One class per instance size, made on first use and kept for the process.
PyTypeObject* minimal_class(Py_ssize_t basic_size) {
    static std::map<Py_ssize_t, PyTypeObject*> classes;
    if (auto found = classes.find(basic_size); found != classes.end()) return found->second;
    static PyType_Slot slots[] = {{0, nullptr}};
    PyType_Spec spec{"_kadenzo_bench.Minimal", static_cast<int>(basic_size), 0, Py_TPFLAGS_DEFAULT, slots};
    auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    if (type != nullptr) classes.emplace(basic_size, type);
    return type;
}

// Fills `list` with objects of `type` whose bytes after the header are copied
// from consecutive slices of `payload`. The slice size is a constant where
// the common instance sizes are concerned, so the copy is a few moves, as a
// record's copy is.
template <Py_ssize_t RecordSize>
bool fill(PyObject* list, PyTypeObject* type, const char* payload, Py_ssize_t record_size) {
    const Py_ssize_t size = RecordSize != 0 ? RecordSize : record_size;
    const auto basic_size = static_cast<std::size_t>(size) + sizeof(PyObject);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        void* memory = PyObject_Malloc(basic_size);
        if (memory == nullptr) return false;
        PyObject* object = PyObject_Init(static_cast<PyObject*>(memory), type);
        std::memcpy(object + 1, payload + i * size, static_cast<std::size_t>(size));
        PyList_SET_ITEM(list, i, object);
    }
    return true;
}

// minimal_objects(payload: bytes, basic_size: int) -> list: one object per
// (basic_size - sizeof(PyObject)) bytes of payload, the class looked up once.
PyObject* minimal_objects(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    Py_ssize_t basic_size = 0;
    if (nargs != 2 || !PyBytes_Check(args[0]) || (basic_size = PyLong_AsSsize_t(args[1])) < 0) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "minimal_objects(payload: bytes, basic_size: int)");
        return nullptr;
    }
    const auto record_size = basic_size - static_cast<Py_ssize_t>(sizeof(PyObject));
    if (record_size <= 0) {
        PyErr_SetString(PyExc_ValueError, "basic_size must exceed the object header");
        return nullptr;
    }
    PyTypeObject* type = minimal_class(basic_size);
    if (type == nullptr) return nullptr;
    const char* payload = PyBytes_AS_STRING(args[0]);
    const Py_ssize_t count = PyBytes_GET_SIZE(args[0]) / record_size;
    PyObject* list = PyList_New(count);
    if (list == nullptr) return nullptr;
    bool filled;
    switch (record_size) {
        case 24: filled = fill<24>(list, type, payload, record_size); break;
        case 32: filled = fill<32>(list, type, payload, record_size); break;
        case 40: filled = fill<40>(list, type, payload, record_size); break;
        default: filled = fill<0>(list, type, payload, record_size); break;
    }
    if (!filled) {
        Py_DECREF(list);
        return PyErr_NoMemory();
    }
    return list;
}

PyMethodDef methods[] = {
    {"minimal_objects", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&minimal_objects)), METH_FASTCALL,
     "A list of minimal heap-type objects of basic_size bytes, filled from payload."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_kadenzo_bench", nullptr, -1, methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__kadenzo_bench() { return PyModule_Create(&module_def); }
