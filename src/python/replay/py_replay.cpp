// The Replay class: twenty read-write attributes and the debug text as repr and str; no constructor.
#include "python/binding/py_record_class.hpp"
#include "replay/replay_record.hpp"

namespace kz::py {
namespace {

// str is the very same function as repr.
const PyType_Slot kReplaySlots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(&repr_as_debug_text<Replay>)},
    {Py_tp_str, reinterpret_cast<void*>(&repr_as_debug_text<Replay>)},
};

}  // namespace

PyTypeObject* class_of(std::type_identity<Replay>) {
    static const ClassSpec spec =
        class_spec<Replay>("Replay", "builtins.Replay", kReplaySlots, field_attributes<Replay>());
    static ClassSlot slot;
    return slot.get(spec);
}

}  // namespace kz::py
