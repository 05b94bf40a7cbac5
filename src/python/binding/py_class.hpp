// Class objects of the module: created from a table per class, once per
// process, never released; and the instances that hold one record each.
#pragma once

#include <Python.h>

#include <memory>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>

#include "python/binding/py_borrow.hpp"
#include "python/binding/py_panic.hpp"
#include "flags/flag_sets.hpp"
#include "game_mode/game_mode.hpp"
#include "life_bar_state/life_bar_state.hpp"
#include "replay/replay_record.hpp"
#include "replay_events/frame_records.hpp"

namespace kz::py {

// A class attribute: its name and the factory that makes its value (a new reference).
struct ClassAttribute {
    const char* name;
    PyObject* (*make)(std::size_t index);
    std::size_t index;  // handed to make(), e.g. the member's position
};

// What a class declares; everything else (dealloc, the missing-constructor
// default, creation, attribute filling) is shared.
struct ClassSpec {
    const char* python_name;  // "Mod"
    const char* spec_name;    // "builtins.Mod": the interpreter takes "builtins" as __module__
    int instance_size;
    destructor dealloc;
    std::span<const PyType_Slot> slots;  // the class's special operations; later entries win
    PyGetSetDef* getset;                 // null when the class has no attributes
    std::span<const ClassAttribute> attributes;
};

// Holder of one class object, empty until first requested.
class ClassSlot {
public:
    // The class object, created and filled on the first request. Stops on failure.
    PyTypeObject* get(const ClassSpec& spec) {
        if (fill_ == Fill::Done) return type_;  // the common case: one load and a compare
        return create_and_fill(spec);
    }

private:
    enum class Fill { Empty, Filling, Done };
    PyTypeObject* create_and_fill(const ClassSpec& spec);

    PyTypeObject* type_ = nullptr;
    Fill fill_ = Fill::Empty;
};

// The instance layout of every class: the header, the borrow counter, the record.
template <class R>
struct Instance {
    PyObject_HEAD
    BorrowFlag borrow;
    R record;
};

// The class object of each record type (defined beside each class).
PyTypeObject* class_of(std::type_identity<GameMode>);
PyTypeObject* class_of(std::type_identity<Mod>);
PyTypeObject* class_of(std::type_identity<Key>);
PyTypeObject* class_of(std::type_identity<KeyTaiko>);
PyTypeObject* class_of(std::type_identity<KeyMania>);
PyTypeObject* class_of(std::type_identity<ReplayEventKivo>);
PyTypeObject* class_of(std::type_identity<ReplayEventTaiko>);
PyTypeObject* class_of(std::type_identity<ReplayEventCatch>);
PyTypeObject* class_of(std::type_identity<ReplayEventMania>);
PyTypeObject* class_of(std::type_identity<LifeBarState>);
PyTypeObject* class_of(std::type_identity<ReplayDataContainer>);
PyTypeObject* class_of(std::type_identity<Replay>);

template <class R>
concept HasClass = requires { class_of(std::type_identity<R>{}); };

// The Python name of R's class, as type-mismatch messages show it.
template <class R>
constexpr const char* python_name() {
    if constexpr (std::is_same_v<R, GameMode>) {
        return "GameMode";
    } else if constexpr (FlagSet<R>) {
        return FlagInfo<R>::name.data();
    } else {
        return RecordInfo<R>::name.data();
    }
}

template <class R>
PyTypeObject* type_of() {
    return class_of(std::type_identity<R>{});
}

template <class R>
Instance<R>* as_instance(PyObject* object) noexcept {
    return reinterpret_cast<Instance<R>*>(object);
}

// True for instances of R's class (subclasses cannot exist: no class is subclassable).
template <class R>
bool is_instance(PyObject* object) {
    return PyObject_TypeCheck(object, type_of<R>());
}

// Moves a record into a new instance of its class. Allocation goes straight
// to the object allocator: these objects are not tracked by the cycle
// collector and have no variable part, so the generic allocator's zeroing and
// bookkeeping are not needed. Stops when memory is exhausted.
// `type` is R's class, looked up by the caller: a list of frames makes one
// object per frame and looks its class up once. The record is copied or
// moved from `record` only once the memory is there, so a copied frame goes
// from the list straight into the object, never through the stack.
template <class R, class Source>
[[gnu::always_inline]] inline PyObject* make_object_of(PyTypeObject* type, Source&& record) {
    void* memory = PyObject_Malloc(sizeof(Instance<R>));
    if (memory == nullptr) [[unlikely]] {
        PyErr_NoMemory();
        stop_with_python_error();
    }
    PyObject* object = PyObject_Init(static_cast<PyObject*>(memory), type);  // also takes a type reference
    auto* instance = as_instance<R>(object);
    std::construct_at(&instance->borrow);
    std::construct_at(&instance->record, std::forward<Source>(record));
    return object;
}

template <class R>
PyObject* make_object(R record) {
    assert_interpreter_lock_held();
    return make_object_of<R>(type_of<R>(), std::move(record));
}

// tp_dealloc of every class: releases what the record owns, then the memory.
template <class R>
void dealloc_instance(PyObject* object) {
    assert_interpreter_lock_held();
    std::destroy_at(&as_instance<R>(object)->record);
    PyTypeObject* type = Py_TYPE(object);
    type->tp_free(object);
    Py_DECREF(type);  // instances of heap types own a reference to their class
}

// Builds the creation table of a class holding records of type R.
template <class R>
constexpr ClassSpec class_spec(const char* python_name, const char* spec_name, std::span<const PyType_Slot> slots,
                               PyGetSetDef* getset, std::span<const ClassAttribute> attributes = {}) {
    return ClassSpec{python_name, spec_name, static_cast<int>(sizeof(Instance<R>)), &dealloc_instance<R>, slots,
                     getset,      attributes};
}

}  // namespace kz::py
