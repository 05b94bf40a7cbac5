// The GameMode class: five members, construction by the byte rule, equality and a fixed hash.
#include <array>

#include "python/binding/py_arguments.hpp"
#include "python/binding/py_compare.hpp"
#include "game_mode/game_mode.hpp"
#include "game_mode/game_mode_hash.hpp"

namespace kz::py {
namespace {

constexpr std::array<const char*, 1> kParameters{"int"};
constexpr Signature kSignature{"GameMode", "__new__", kParameters, 1};

std::uint8_t code_of(PyObject* self) { return static_cast<std::uint8_t>(as_instance<GameMode>(self)->record); }

PyObject* game_mode_new(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
    return call_constructor(kSignature, args, kwargs, std::tuple{std::int32_t{0}}, [](std::int32_t value) {
        // Only the low 8 bits of the two's-complement form count: 256 is STD.
        return make_object(game_mode_from_byte(static_cast<std::uint8_t>(value & 0xFF)));
    });
}

PyObject* game_mode_value(PyObject* self, void*) noexcept { return PyLong_FromLong(code_of(self)); }
PyObject* game_mode_int(PyObject* self) noexcept { return PyLong_FromLong(code_of(self)); }
int game_mode_bool(PyObject* self) noexcept { return code_of(self) != 0; }

PyObject* game_mode_repr(PyObject* self) noexcept {
    const std::string_view name = game_mode_name(as_instance<GameMode>(self)->record);
    return PyUnicode_FromFormat("GameMode.%s", name.data());
}

Py_hash_t game_mode_hash_slot(PyObject* self) noexcept { return static_cast<Py_hash_t>(game_mode_hash(code_of(self))); }

PyGetSetDef kAttributes[] = {
    {"value", &game_mode_value, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* make_member(std::size_t code) { return make_object(static_cast<GameMode>(code)); }

constexpr ClassAttribute kMembers[] = {
    {"STD", &make_member, 0},   {"TAIKO", &make_member, 1},   {"CTB", &make_member, 2},
    {"MANIA", &make_member, 3}, {"UNKNOWN", &make_member, 4},
};

const PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&game_mode_new)},
    {Py_tp_repr, reinterpret_cast<void*>(&game_mode_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(&rich_compare<GameMode, &equality_only<GameMode>>)},
    {Py_tp_hash, reinterpret_cast<void*>(&game_mode_hash_slot)},
    {Py_nb_int, reinterpret_cast<void*>(&game_mode_int)},
    {Py_nb_bool, reinterpret_cast<void*>(&game_mode_bool)},
};

const ClassSpec kSpec = class_spec<GameMode>("GameMode", "builtins.GameMode", kSlots, kAttributes, kMembers);

}  // namespace

PyTypeObject* class_of(std::type_identity<GameMode>) {
    static ClassSlot slot;
    return slot.get(kSpec);
}

}  // namespace kz::py
