// The rich-comparison entry shared by every class that compares its values.
#pragma once

#include <Python.h>

#include "python/binding/py_class.hpp"

namespace kz::py {

// Checks both operands, then hands the two records to `compare(a, b, op)`.
// NotImplemented for a foreign left operand, a right operand that is not an
// instance of R or is being written, and an unknown operator code.
template <class R, PyObject* (*compare)(const R&, const R&, int)>
PyObject* rich_compare(PyObject* left, PyObject* right, int op) noexcept {
    return guarded(
        [&]() -> PyObject* {
            if (!is_instance<R>(left)) Py_RETURN_NOTIMPLEMENTED;
            auto* a = as_instance<R>(left);
            SharedBorrow left_borrow(a->borrow);
            if (!left_borrow.held()) return nullptr;
            if (!is_instance<R>(right) || as_instance<R>(right)->borrow.is_written()) Py_RETURN_NOTIMPLEMENTED;
            if (op < Py_LT || op > Py_GE) Py_RETURN_NOTIMPLEMENTED;
            const R b = as_instance<R>(right)->record;  // the right operand is converted by copy
            return compare(a->record, b, op);
        },
        static_cast<PyObject*>(nullptr));
}

// `==` and `!=` by value; ordering operators are refused.
template <class R>
PyObject* equality_only(const R& a, const R& b, int op) {
    switch (op) {
        case Py_EQ: return Py_NewRef(a == b ? Py_True : Py_False);
        case Py_NE: return Py_NewRef(a == b ? Py_False : Py_True);
        default: PyErr_SetString(PyExc_ValueError, "Invalid comparison"); return nullptr;
    }
}

}  // namespace kz::py
