// The LifeBarState class: constructor and attributes only; identity equality, default repr.
#include "python/binding/py_record_class.hpp"
#include "life_bar_state/life_bar_state.hpp"

namespace kz::py {
namespace {

const PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&construct_from_fields<LifeBarState>)},
};

}  // namespace

PyTypeObject* class_of(std::type_identity<LifeBarState>) {
    static const ClassSpec spec =
        class_spec<LifeBarState>("LifeBarState", "builtins.LifeBarState", kSlots, field_attributes<LifeBarState>());
    static ClassSlot slot;
    return slot.get(spec);
}

}  // namespace kz::py
