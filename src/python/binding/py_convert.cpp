// Converters of Python values into stored values, with the messages callers see.
#include "python/binding/py_convert.hpp"

#include <cfloat>
#include <cmath>
#include <limits>

#include "python/binding/py_ref.hpp"

namespace kz::py {
namespace {

constexpr const char* kOutOfRange = "out of range integral type conversion attempted";

// The value as an exact int via __index__ (a float is refused by the interpreter).
Ref to_index(PyObject* value) noexcept {
    if (PyLong_CheckExact(value)) return Ref::borrow(value);
    return Ref::steal(PyNumber_Index(value));
}

bool set_out_of_range() noexcept {
    PyErr_SetString(PyExc_OverflowError, kOutOfRange);
    return false;
}

// Nearest float to a double, ties to even, without the undefined behaviour of
// casting a double beyond the float range.
float nearest_float(double value) noexcept {
    if (std::isfinite(value) && std::fabs(value) > FLT_MAX) {
        // Half an ulp above FLT_MAX is the tie point; FLT_MAX has an odd
        // significand, so the tie itself rounds away to infinity.
        const double tie = static_cast<double>(FLT_MAX) + std::ldexp(1.0, 103);
        const float magnitude = std::fabs(value) < tie ? FLT_MAX : std::numeric_limits<float>::infinity();
        return std::signbit(value) ? -magnitude : magnitude;
    }
    return static_cast<float>(value);
}

}  // namespace

void raise_type_mismatch(PyObject* value, const char* target) noexcept {
    Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(value)));
    const char* name = qualname ? PyUnicode_AsUTF8(qualname.get()) : nullptr;
    if (name == nullptr) {
        PyErr_Clear();
        name = "<failed to extract type name>";
    }
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", name, target);
}

void reword_argument_error(const char* parameter) noexcept {
    if (!PyErr_Occurred() || !PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    // Only an exact TypeError is reworded; subclasses keep their own identity.
    if (type != PyExc_TypeError) {
        PyErr_Restore(type, value, traceback);
        return;
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref type_ref = Ref::steal(type), value_ref = Ref::steal(value), traceback_ref = Ref::steal(traceback);
    Ref cause = Ref::steal(value ? PyException_GetCause(value) : nullptr);
    Ref reworded = Ref::steal(PyUnicode_FromFormat("argument '%s': %S", parameter, value ? value : Py_None));
    if (!reworded) return;
    Ref exception = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, reworded.get()));
    if (!exception) return;
    if (cause) PyException_SetCause(exception.get(), cause.release());
    PyErr_SetObject(PyExc_TypeError, exception.get());
}

bool Converter<bool>::from_py(PyObject* value, bool& out) noexcept {
    if (value == Py_True || value == Py_False) {
        out = value == Py_True;
        return true;
    }
    raise_type_mismatch(value, "PyBool");
    return false;
}

bool Converter<std::int16_t>::from_py(PyObject* value, std::int16_t& out) noexcept {
    Ref index = to_index(value);
    if (!index) return false;
    const long wide = PyLong_AsLong(index.get());  // beyond C long: the interpreter's own OverflowError
    if (wide == -1 && PyErr_Occurred()) return false;
    if (wide < INT16_MIN || wide > INT16_MAX) return set_out_of_range();
    out = static_cast<std::int16_t>(wide);
    return true;
}

bool Converter<std::int32_t>::from_py(PyObject* value, std::int32_t& out) noexcept {
    Ref index = to_index(value);
    if (!index) return false;
    const int narrow = _PyLong_AsInt(index.get());
    if (narrow == -1 && PyErr_Occurred()) return false;
    out = narrow;
    return true;
}

bool Converter<std::int64_t>::from_py(PyObject* value, std::int64_t& out) noexcept {
    Ref index = to_index(value);
    if (!index) return false;
    const long long wide = PyLong_AsLongLong(index.get());
    if (wide == -1 && PyErr_Occurred()) return false;
    out = wide;
    return true;
}

bool Converter<std::uint32_t>::from_py(PyObject* value, std::uint32_t& out) noexcept {
    Ref index = to_index(value);
    if (!index) return false;
    const unsigned long long wide = PyLong_AsUnsignedLongLong(index.get());
    if (wide == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    if (wide > UINT32_MAX) return set_out_of_range();
    out = static_cast<std::uint32_t>(wide);
    return true;
}

bool Converter<std::uint64_t>::from_py(PyObject* value, std::uint64_t& out) noexcept {
    Ref index = to_index(value);
    if (!index) return false;
    const unsigned long long wide = PyLong_AsUnsignedLongLong(index.get());
    if (wide == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = wide;
    return true;
}

bool Converter<double>::from_py(PyObject* value, double& out) noexcept {
    if (PyFloat_CheckExact(value)) {
        out = PyFloat_AS_DOUBLE(value);
        return true;
    }
    const double converted = PyFloat_AsDouble(value);
    if (converted == -1.0 && PyErr_Occurred()) return false;
    out = converted;
    return true;
}

bool Converter<float>::from_py(PyObject* value, float& out) noexcept {
    double wide = 0;
    if (!Converter<double>::from_py(value, wide)) return false;
    out = nearest_float(wide);
    return true;
}

bool Converter<String>::from_py(PyObject* value, String& out) {
    if (!PyUnicode_Check(value)) {
        raise_type_mismatch(value, "PyString");
        return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);  // lone surrogates: the codec's own error
    if (utf8 == nullptr) return false;
    out.assign(utf8, static_cast<std::size_t>(size));
    return true;
}

PyObject* Converter<String>::to_py(const String& value) {
    return checked(PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), nullptr));
}

bool Converter<BytesView>::from_py(PyObject* value, BytesView& out) noexcept {
    if (!PyBytes_Check(value)) {
        raise_type_mismatch(value, "PyBytes");
        return false;
    }
    out.bytes = std::string_view(PyBytes_AS_STRING(value), static_cast<std::size_t>(PyBytes_GET_SIZE(value)));
    return true;
}

bool check_list_source(PyObject* value, Py_ssize_t& hint) noexcept {
    if (PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_ValueError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(value)) {
        raise_type_mismatch(value, "Sequence");
        return false;
    }
    hint = PySequence_Size(value);
    if (hint < 0) {  // the length is only a capacity hint
        PyErr_Clear();
        hint = 0;
    }
    return true;
}

}  // namespace kz::py
