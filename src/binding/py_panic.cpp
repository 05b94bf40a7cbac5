// PanicException and the translation of stops into it.
#include "binding/py_panic.hpp"

#include "binding/py_ref.hpp"

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

}  // namespace

PyObject* panic_exception_type() {
    // Created once and kept for the life of the process, like the classes.
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc("kadenzo_runtime.PanicException", kPanicDoc,
                                         PyExc_BaseException, nullptr);
    }
    return type;
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
        text = "PyErr { type: <class 'SystemError'>, value: SystemError('attempted to fetch exception but none was set')";
    } else {
        append_repr(text, type);
        text += ", value: ";
        append_repr(text, value);
    }
    text += ", traceback: None }";
    stop_unwrap_err(text, where);
}

}  // namespace kz::py
