// FrameColumns and KeyPresses as NumPy arrays and pandas DataFrames, and the
// names of pressed keys. The arrays are views of the columns' own buffers.
#include "python/columns/py_column_conversions.hpp"

#include <array>

#include "python/binding/py_arguments.hpp"
#include "python/binding/py_class.hpp"
#include "python/binding/py_ref.hpp"
#include "columns/key_presses.hpp"
#include "python/columns/py_frame_columns.hpp"

namespace kz::py {
namespace {

constexpr std::array<const char*, 1> kStructured{"structured"};
constexpr Signature kToNumpy{nullptr, "to_numpy", kStructured, 0};

// Null results below carry the Python exception (NumPy missing, a failed
// conversion) back to the caller, as they would from Python code.

// {name: numpy.asarray(column)}: each a read-only view of the column's buffer.
PyObject* array_views(PyObject* self) {
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return nullptr;
    Ref asarray = Ref::steal(PyObject_GetAttrString(numpy.get(), "asarray"));
    Ref names = Ref::steal(PyObject_GetAttrString(self, "names"));
    Ref arrays = Ref::steal(PyDict_New());
    if (!asarray || !names || !arrays) return nullptr;
    for (Py_ssize_t index = 0; index < PyTuple_GET_SIZE(names.get()); ++index) {
        PyObject* name = PyTuple_GET_ITEM(names.get(), index);
        Ref column = Ref::steal(PyObject_GetItem(self, name));
        if (!column) return nullptr;
        Ref array = Ref::steal(PyObject_CallOneArg(asarray.get(), column.get()));
        if (!array || PyDict_SetItem(arrays.get(), name, array.get()) < 0) return nullptr;
    }
    return arrays.release();
}

// One structured array of all the columns (its fields typed by the columns' buffer formats), copied.
PyObject* structured_array(PyObject* self) {
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return nullptr;
    Ref names = Ref::steal(PyObject_GetAttrString(self, "names"));
    if (!names) return nullptr;
    const Py_ssize_t count = PyTuple_GET_SIZE(names.get());
    Ref fields = Ref::steal(PyList_New(count));
    if (!fields) return nullptr;
    for (Py_ssize_t index = 0; index < count; ++index) {
        PyObject* name = PyTuple_GET_ITEM(names.get(), index);
        Ref column = Ref::steal(PyObject_GetItem(self, name));
        Ref format = column ? Ref::steal(PyObject_GetAttrString(column.get(), "format")) : Ref();
        PyObject* field = format ? PyTuple_Pack(2, name, format.get()) : nullptr;
        if (field == nullptr) return nullptr;
        PyList_SET_ITEM(fields.get(), index, field);  // steals field
    }
    const Py_ssize_t rows = PyObject_Length(self);
    if (rows < 0) return nullptr;
    Ref dtype = Ref::steal(PyObject_CallMethod(numpy.get(), "dtype", "O", fields.get()));
    if (!dtype) return nullptr;
    Ref array = Ref::steal(PyObject_CallMethod(numpy.get(), "empty", "nO", rows, dtype.get()));
    if (!array) return nullptr;
    for (Py_ssize_t index = 0; index < count; ++index) {
        PyObject* name = PyTuple_GET_ITEM(names.get(), index);
        Ref column = Ref::steal(PyObject_GetItem(self, name));
        if (!column || PyObject_SetItem(array.get(), name, column.get()) < 0) return nullptr;
    }
    return array.release();
}

}  // namespace

PyObject* columns_to_numpy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    // `structured` is keyword-only: to_numpy(True) would read as a dict of something.
    if (positional_count_of(nargs) != 0) {
        PyErr_Format(PyExc_TypeError, "to_numpy() takes 0 positional arguments but %zd were given",
                     static_cast<Py_ssize_t>(positional_count_of(nargs)));
        return nullptr;
    }
    return call_function(kToNumpy, args, nargs, kwnames, std::tuple{false},
                         [&](bool structured) { return structured ? structured_array(self) : array_views(self); });
}

PyObject* columns_to_pandas(PyObject* self, PyObject*) noexcept {
    return guarded(
        [&]() -> PyObject* {
            Ref pandas = Ref::steal(PyImport_ImportModule("pandas"));
            if (!pandas) return nullptr;
            Ref arrays = Ref::steal(array_views(self));
            if (!arrays) return nullptr;
            return PyObject_CallMethod(pandas.get(), "DataFrame", "O", arrays.get());
        },
        static_cast<PyObject*>(nullptr));
}

PyObject* key_names(PyObject* self, PyObject*) noexcept {
    return guarded(
        [&]() -> PyObject* {
            const FrameColumns& presses = *as_instance<KeyPressesRecord>(self)->record.columns;
            const String& key_bits = presses.metadata().front().second;
            // The first column is the pressed key's bit (int32).
            const auto* keys = static_cast<const std::int32_t*>(presses.columns().front().values.data());
            Ref list = Ref::steal(checked(PyList_New(static_cast<Py_ssize_t>(presses.length()))));
            for (std::size_t row = 0; row < presses.length(); ++row) {
                const String name = key_name(key_bits, keys[row]);
                PyList_SET_ITEM(
                    list.get(), static_cast<Py_ssize_t>(row),
                    checked(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()))));
            }
            return list.release();
        },
        static_cast<PyObject*>(nullptr));
}

}  // namespace kz::py
