// Creation of class objects from their tables, and the filling of class attributes.
#include "python/binding/py_class.hpp"

#include <cstring>

#include "python/binding/py_ref.hpp"
#include "common/memory.hpp"

namespace kz::py {
namespace {

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined");
    return nullptr;
}

[[noreturn]] void fail_with_printed_error(std::string_view head, std::string_view name, std::string_view tail = {}) {
    PyErr_Print();
    String message(head);
    message += name;
    message += tail;
    stop(message);
}

PyTypeObject* create_class(const ClassSpec& spec) {
    // Order matters: the interpreter keeps the last entry for a repeated slot id.
    Vec<PyType_Slot> slots;
    slots.reserve(spec.slots.size() + 4);
    slots.push_back({Py_tp_base, &PyBaseObject_Type});
    slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(spec.dealloc)});
    bool has_constructor = false;
    for (const PyType_Slot& slot : spec.slots) {
        has_constructor |= slot.slot == Py_tp_new;
        slots.push_back(slot);
    }
    if (spec.getset != nullptr) slots.push_back({Py_tp_getset, spec.getset});
    if (!has_constructor) slots.push_back({Py_tp_new, reinterpret_cast<void*>(&no_constructor)});
    slots.push_back({0, nullptr});

    PyType_Spec type_spec{spec.spec_name, spec.instance_size, 0, Py_TPFLAGS_DEFAULT, slots.data()};
    PyObject* type = PyType_FromSpec(&type_spec);
    if (type == nullptr) fail_with_printed_error("An error occurred while initializing class ", spec.python_name);
    return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace

PyTypeObject* ClassSlot::create_and_fill(const ClassSpec& spec) {
    if (type_ == nullptr) type_ = create_class(spec);
    // A member is an instance of its own class, so making it asks for the
    // class again; that nested request gets the class without filling.
    if (fill_ != Fill::Empty) return type_;
    fill_ = Fill::Filling;

    struct Pending {
        const char* name;
        Ref value;
    };
    Vec<Pending> pending;
    pending.reserve(spec.attributes.size());
    for (const ClassAttribute& attribute : spec.attributes) {
        Ref value = Ref::steal(attribute.make(attribute.index));
        if (!value) {
            fill_ = Fill::Empty;
            String message = "An error occurred while initializing `";
            message += spec.python_name;
            message += '.';
            message += attribute.name;
            message += '`';
            stop(message);
        }
        pending.push_back({attribute.name, std::move(value)});
    }
    for (const Pending& entry : pending) {
        if (PyObject_SetAttrString(reinterpret_cast<PyObject*>(type_), entry.name, entry.value.get()) < 0) {
            fill_ = Fill::Empty;
            fail_with_printed_error("An error occurred while initializing `", spec.python_name, ".__dict__`");
        }
    }
    fill_ = Fill::Done;
    return type_;
}

}  // namespace kz::py
