// PanicException and the translation of stops into it.
#include "python/binding/py_panic.hpp"

#include "python/binding/py_ref.hpp"

namespace kz::py {
namespace {

constexpr const char* kPanicDoc =
    "Raised when native code called from Python fails unrecoverably.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it\n"
    "normally propagates all the way up the stack and ends the interpreter.";

// Appends repr(object) to `out`, or a marker when repr itself fails.
void append_repr(String& out, PyObject* object) {
    if (object == nullptr) {
        out += "None";
        return;
    }
    Ref text = Ref::steal(PyObject_Repr(object));
    Py_ssize_t size = 0;
    const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        out += "<unprintable>";
        return;
    }
    out.append(utf8, static_cast<std::size_t>(size));
}

// The function that rebuilds a pickled PanicException; pickle finds it by
// its module and name.
constexpr const char* kNativeModule = "kadenzo._native";
constexpr const char* kRebuildName = "_rebuild_panic";

// __reduce__: BaseException's own (class, args[, state]), with the class,
// whose module is not importable, replaced by the rebuilding function.
PyObject* reduce_panic(PyObject* self, PyObject*) noexcept {
    Ref base_reduce = Ref::steal(PyObject_GetAttrString(PyExc_BaseException, "__reduce__"));
    Ref reduced = Ref::steal(base_reduce ? PyObject_CallOneArg(base_reduce.get(), self) : nullptr);
    if (!reduced) return nullptr;
    if (!PyTuple_Check(reduced.get()) || PyTuple_GET_SIZE(reduced.get()) < 2) {
        PyErr_SetString(PyExc_TypeError, "BaseException.__reduce__ gave no tuple");
        return nullptr;
    }
    Ref native = Ref::steal(PyImport_ImportModule(kNativeModule));
    Ref rebuild = Ref::steal(native ? PyObject_GetAttrString(native.get(), kRebuildName) : nullptr);
    if (!rebuild) return nullptr;
    const Py_ssize_t size = PyTuple_GET_SIZE(reduced.get());
    Ref out = Ref::steal(PyTuple_New(size));
    if (!out) return nullptr;
    PyTuple_SET_ITEM(out.get(), 0, rebuild.release());
    for (Py_ssize_t index = 1; index < size; ++index) {
        PyTuple_SET_ITEM(out.get(), index, Py_NewRef(PyTuple_GET_ITEM(reduced.get(), index)));
    }
    return out.release();
}

PyMethodDef reduce_def = {"__reduce__", &reduce_panic, METH_NOARGS, "Pickles as PanicException(*args)."};

// _rebuild_panic(*args) -> PanicException(*args)
PyObject* rebuild_panic(PyObject*, PyObject* args) noexcept {
    PyObject* type = panic_exception_type();
    return type != nullptr ? PyObject_Call(type, args, nullptr) : nullptr;
}

PyMethodDef rebuild_def = {kRebuildName, &rebuild_panic, METH_VARARGS, "PanicException(*args), for unpickling."};

PyObject* create_panic_exception_type() {
    Ref type = Ref::steal(
        PyErr_NewExceptionWithDoc("kadenzo_runtime.PanicException", kPanicDoc, PyExc_BaseException, nullptr));
    if (!type) return nullptr;
    Ref reduce = Ref::steal(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(type.get()), &reduce_def));
    if (!reduce || PyObject_SetAttrString(type.get(), "__reduce__", reduce.get()) < 0) return nullptr;
    return type.release();
}

}  // namespace

PyObject* panic_exception_type() {
    // Created once and kept for the life of the process, like the classes.
    static PyObject* type = nullptr;
    if (type == nullptr) type = create_panic_exception_type();
    return type;
}

bool add_panic_pickling(PyObject* native) {
    Ref name = Ref::steal(PyUnicode_FromString(kNativeModule));
    Ref function = Ref::steal(name ? PyCFunction_NewEx(&rebuild_def, nullptr, name.get()) : nullptr);
    return function && PyModule_AddObjectRef(native, kRebuildName, function.get()) == 0;
}

void raise_stop(const Stop& stop) noexcept {
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;  // creating the class failed; its error stays set
    const String& message = stop.message();
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return;
    PyErr_SetObject(type, text.get());
}

void raise_unknown_failure() noexcept {
    PyObject* type = panic_exception_type();
    if (type != nullptr) PyErr_SetString(type, "native code failed without a message");
}

void stop_with_python_error(std::source_location where) {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref type_ref = Ref::steal(type), value_ref = Ref::steal(value), traceback_ref = Ref::steal(traceback);
    String text = "PyErr { type: ";
    if (type == nullptr) {
        text =
            "PyErr { type: <class 'SystemError'>, value: SystemError('attempted to fetch exception but none was set')";
    } else {
        append_repr(text, type);
        text += ", value: ";
        append_repr(text, value);
    }
    text += ", traceback: None }";
    stop_unwrap_err(text, where);
}

}  // namespace kz::py
