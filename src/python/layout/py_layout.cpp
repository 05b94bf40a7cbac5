// kadenzo._native.layout_fields, built from the layout table.
#include "python/layout/py_layout.hpp"

#include "python/binding/py_ref.hpp"
#include "layout/replay_layout.hpp"

namespace kz::py {

bool add_layout(PyObject* native) {
    Ref fields = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(layout::kFields.size())));
    if (!fields) return false;
    for (std::size_t index = 0; index < layout::kFields.size(); ++index) {
        const layout::FieldInfo& field = layout::kFields[index];
        const std::string_view kind = layout::kind_name(field.kind);
        const Ref name =
            Ref::steal(PyUnicode_FromStringAndSize(field.name.data(), static_cast<Py_ssize_t>(field.name.size())));
        const Ref kind_text =
            Ref::steal(PyUnicode_FromStringAndSize(kind.data(), static_cast<Py_ssize_t>(kind.size())));
        const Ref width = Ref::steal(PyLong_FromSize_t(field.width));
        if (!name || !kind_text || !width) return false;
        PyObject* row = PyTuple_Pack(3, name.get(), kind_text.get(), width.get());
        if (row == nullptr) return false;
        PyTuple_SET_ITEM(fields.get(), static_cast<Py_ssize_t>(index), row);  // steals row
    }
    return PyModule_AddObjectRef(native, "layout_fields", fields.get()) == 0;
}

}  // namespace kz::py
