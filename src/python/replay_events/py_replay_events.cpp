// The four frame classes: constructor, attributes, equality and repr from each record's field table.
#include "python/binding/py_compare.hpp"
#include "python/binding/py_record_class.hpp"
#include "replay_events/frame_records.hpp"

namespace kz::py {
namespace {

template <class Frame>
const PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&construct_from_fields<Frame>)},
    {Py_tp_repr, reinterpret_cast<void*>(&repr_as_debug_text<Frame>)},
    {Py_tp_richcompare, reinterpret_cast<void*>(&rich_compare<Frame, &equality_only<Frame>>)},
};

template <class Frame>
PyTypeObject* frame_class(const char* spec_name) {
    static const ClassSpec spec =
        class_spec<Frame>(python_name<Frame>(), spec_name, kSlots<Frame>, field_attributes<Frame>());
    static ClassSlot slot;
    return slot.get(spec);
}

}  // namespace

PyTypeObject* class_of(std::type_identity<ReplayEventKivo>) {
    return frame_class<ReplayEventKivo>("builtins.ReplayEventKivo");
}
PyTypeObject* class_of(std::type_identity<ReplayEventTaiko>) {
    return frame_class<ReplayEventTaiko>("builtins.ReplayEventTaiko");
}
PyTypeObject* class_of(std::type_identity<ReplayEventCatch>) {
    return frame_class<ReplayEventCatch>("builtins.ReplayEventCatch");
}
PyTypeObject* class_of(std::type_identity<ReplayEventMania>) {
    return frame_class<ReplayEventMania>("builtins.ReplayEventMania");
}

}  // namespace kz::py
