// The four flag classes on one template: members, construction, value,
// operators, comparisons and the text form.
#include <array>
#include <type_traits>

#include "python/binding/py_arguments.hpp"
#include "python/binding/py_compare.hpp"
#include "flags/flag_text.hpp"

namespace kz::py {
namespace {

template <FlagSet F>
constexpr bool kIsMod = std::is_same_v<F, Mod>;

template <FlagSet F>
std::uint32_t bits_of(const F& flags) {
    return static_cast<std::uint32_t>(flags.bits);
}

template <FlagSet F>
F from_bits(std::uint32_t bits) {
    return F{static_cast<decltype(F::bits)>(bits)};
}

// A Mod with bit 31 set can only come from a decoded header; every read of
// one is refused, as the value does not fit the signed range Python sees.
template <FlagSet F>
std::uint32_t readable_bits(const F& flags) {
    const std::uint32_t bits = bits_of(flags);
    if constexpr (kIsMod<F>) {
        if (bits & 0x80000000u) stop_try_from_int();
    }
    return bits;
}

template <FlagSet F>
PyObject* value_to_int(const F& flags) {
    const std::uint32_t bits = readable_bits(flags);
    return PyLong_FromLong(kIsMod<F> ? static_cast<long>(bits) : static_cast<long>(static_cast<std::int32_t>(bits)));
}

template <FlagSet F>
constexpr std::array<const char*, 1> kParameters{"int"};

template <FlagSet F>
constexpr Signature kSignature{FlagInfo<F>::name.data(), "__new__", kParameters<F>, 1};

template <FlagSet F>
PyObject* flag_new(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
    return call_constructor(kSignature<F>, args, kwargs, std::tuple{std::int32_t{0}}, [](std::int32_t value) {
        if constexpr (kIsMod<F>) {
            if (value < 0) stop_try_from_int();
        }
        return make_object(from_bits<F>(static_cast<std::uint32_t>(value)));
    });
}

template <FlagSet F>
const F& record_of(PyObject* self) {
    return as_instance<F>(self)->record;
}

template <FlagSet F>
PyObject* flag_value(PyObject* self, void*) noexcept {
    return guarded([&] { return value_to_int(record_of<F>(self)); }, static_cast<PyObject*>(nullptr));
}

template <FlagSet F>
PyObject* flag_int(PyObject* self) noexcept {
    return guarded([&] { return value_to_int(record_of<F>(self)); }, static_cast<PyObject*>(nullptr));
}

template <FlagSet F>
int flag_bool(PyObject* self) noexcept {
    return guarded([&] { return readable_bits(record_of<F>(self)) != 0 ? 1 : 0; }, -1);
}

template <FlagSet F>
PyObject* flag_repr(PyObject* self) noexcept {
    return guarded(
        [&]() -> PyObject* {
            const String text = flag_text<F>(readable_bits(record_of<F>(self)), kIsMod<F>);
            return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
        },
        static_cast<PyObject*>(nullptr));
}

enum class BinaryOp { Add, Subtract, And, Or, Xor };

// Both operands must be instances of F; otherwise NotImplemented, so the
// interpreter tries the reflected form and then raises its own TypeError.
template <FlagSet F, BinaryOp op>
PyObject* flag_binary(PyObject* left, PyObject* right) noexcept {
    return guarded(
        [&]() -> PyObject* {
            if (!is_instance<F>(left) || !is_instance<F>(right) || as_instance<F>(right)->borrow.is_written()) {
                Py_RETURN_NOTIMPLEMENTED;
            }
            const std::uint32_t a = readable_bits(record_of<F>(left));
            const std::uint32_t b = readable_bits(record_of<F>(right));
            switch (op) {
                // Sums and differences are plain ints, wrapped to 32 bits and read as signed.
                case BinaryOp::Add: return PyLong_FromLong(static_cast<std::int32_t>(a + b));
                case BinaryOp::Subtract: return PyLong_FromLong(static_cast<std::int32_t>(a - b));
                case BinaryOp::And: return make_object(from_bits<F>(a & b));
                case BinaryOp::Or: return make_object(from_bits<F>(a | b));
                case BinaryOp::Xor: return make_object(from_bits<F>(a ^ b));
            }
            Py_RETURN_NOTIMPLEMENTED;
        },
        static_cast<PyObject*>(nullptr));
}

// All six operators compare the values as signed 32-bit integers.
template <FlagSet F>
PyObject* compare_flags(const F& left, const F& right, int op) {
    const auto a = static_cast<std::int32_t>(readable_bits(left));
    const auto b = static_cast<std::int32_t>(readable_bits(right));
    bool result = false;
    switch (op) {
        case Py_LT: result = a < b; break;
        case Py_LE: result = a <= b; break;
        case Py_EQ: result = a == b; break;
        case Py_NE: result = a != b; break;
        case Py_GT: result = a > b; break;
        case Py_GE: result = a >= b; break;
    }
    return Py_NewRef(result ? Py_True : Py_False);
}

template <FlagSet F>
PyGetSetDef kAttributes[] = {
    {"value", &flag_value<F>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

template <FlagSet F>
PyObject* make_member(std::size_t index) {
    return make_object(from_bits<F>(FlagInfo<F>::members[index].value));
}

template <FlagSet F>
constexpr auto member_attributes() {
    constexpr auto& members = FlagInfo<F>::members;
    std::array<ClassAttribute, members.size()> attributes{};
    for (std::size_t index = 0; index < members.size(); ++index) {
        attributes[index] = {members[index].name.data(), &make_member<F>, index};
    }
    return attributes;
}

template <FlagSet F>
constexpr auto kMembers = member_attributes<F>();

template <FlagSet F>
const PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&flag_new<F>)},
    {Py_tp_repr, reinterpret_cast<void*>(&flag_repr<F>)},
    {Py_tp_richcompare, reinterpret_cast<void*>(&rich_compare<F, &compare_flags<F>>)},
    {Py_nb_int, reinterpret_cast<void*>(&flag_int<F>)},
    {Py_nb_bool, reinterpret_cast<void*>(&flag_bool<F>)},
    {Py_nb_add, reinterpret_cast<void*>(&flag_binary<F, BinaryOp::Add>)},
    {Py_nb_subtract, reinterpret_cast<void*>(&flag_binary<F, BinaryOp::Subtract>)},
    {Py_nb_and, reinterpret_cast<void*>(&flag_binary<F, BinaryOp::And>)},
    {Py_nb_or, reinterpret_cast<void*>(&flag_binary<F, BinaryOp::Or>)},
    {Py_nb_xor, reinterpret_cast<void*>(&flag_binary<F, BinaryOp::Xor>)},
};

// The interpreter takes the part before the last dot as __module__.
template <FlagSet F>
constexpr const char* kSpecName = nullptr;
template <>
constexpr const char* kSpecName<Mod> = "builtins.Mod";
template <>
constexpr const char* kSpecName<Key> = "builtins.Key";
template <>
constexpr const char* kSpecName<KeyTaiko> = "builtins.KeyTaiko";
template <>
constexpr const char* kSpecName<KeyMania> = "builtins.KeyMania";

template <FlagSet F>
const ClassSpec kSpec = class_spec<F>(python_name<F>(), kSpecName<F>, kSlots<F>, kAttributes<F>, kMembers<F>);

template <FlagSet F>
PyTypeObject* flag_class() {
    static ClassSlot slot;
    return slot.get(kSpec<F>);
}

}  // namespace

PyTypeObject* class_of(std::type_identity<Mod>) { return flag_class<Mod>(); }
PyTypeObject* class_of(std::type_identity<Key>) { return flag_class<Key>(); }
PyTypeObject* class_of(std::type_identity<KeyTaiko>) { return flag_class<KeyTaiko>(); }
PyTypeObject* class_of(std::type_identity<KeyMania>) { return flag_class<KeyMania>(); }

}  // namespace kz::py
