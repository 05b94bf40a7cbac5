// The ReplayDataContainer class: four read-write frame-list slots; no
// constructor, default repr, identity equality.
#include "python/binding/py_record_class.hpp"
#include "replay/replay_record.hpp"

namespace kz::py {

// Created on first use (a decoded replay's replay_data, parse_replay_data);
// never bound to the module.
PyTypeObject* class_of(std::type_identity<ReplayDataContainer>) {
    static const ClassSpec spec = class_spec<ReplayDataContainer>("ReplayDataContainer", "builtins.ReplayDataContainer",
                                                                  {}, field_attributes<ReplayDataContainer>());
    static ClassSlot slot;
    return slot.get(spec);
}

}  // namespace kz::py
