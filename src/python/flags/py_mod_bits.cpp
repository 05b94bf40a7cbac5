// kadenzo._native.mod_bits and mod_from_bits: a Mod's 32 bits as an unsigned
// number and back, exactly, bit 31 included.
#include "python/flags/py_mod_bits.hpp"

#include <array>
#include <cstdint>

#include "python/binding/py_arguments.hpp"
#include "python/binding/py_class.hpp"
#include "python/binding/py_convert.hpp"

namespace kz::py {
namespace {

constexpr std::array<const char*, 1> kModsParameter{"mods"};
constexpr Signature kModBits{nullptr, "mod_bits", kModsParameter, 1};

constexpr std::array<const char*, 1> kBitsParameter{"bits"};
constexpr Signature kModFromBits{nullptr, "mod_from_bits", kBitsParameter, 1};

PyObject* mod_bits(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return call_function(kModBits, args, nargs, kwnames, std::tuple{Mod{}},
                         [](Mod mods) { return Converter<std::uint32_t>::to_py(mods.bits); });
}

PyObject* mod_from_bits(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return call_function(kModFromBits, args, nargs, kwnames, std::tuple{std::uint32_t{0}},
                         [](std::uint32_t bits) { return make_object(Mod{bits}); });
}

template <class Function>
PyCFunction as_method(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef kFunctions[] = {
    {"mod_bits", as_method(&mod_bits), METH_FASTCALL | METH_KEYWORDS,
     "mod_bits(mods): the Mod's 32 bits as a number from 0 to 2**32 - 1 (bit 31 included)."},
    {"mod_from_bits", as_method(&mod_from_bits), METH_FASTCALL | METH_KEYWORDS,
     "mod_from_bits(bits): the Mod of these 32 bits (0 to 2**32 - 1), bit 31 included."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_mod_bits(PyObject* native) { return PyModule_AddFunctions(native, kFunctions) == 0; }

}  // namespace kz::py
