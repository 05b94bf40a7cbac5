// kadenzo._native.salvage: the bytes read and the salvage run without the
// interpreter lock; only the result objects are made with it.
#include "python/salvage/py_salvage.hpp"

#include <array>
#include <optional>
#include <variant>

#include "python/binding/py_arguments.hpp"
#include "python/binding/py_held_buffer.hpp"
#include "python/binding/py_unlocked.hpp"
#include "bulk/decode_outcome.hpp"
#include "python/bulk/py_path_stream.hpp"
#include "salvage/salvaged_replay.hpp"

namespace kz::py {
namespace {

PyObject* salvage_result(std::optional<SalvagedReplay>&& salvaged) {
    if (!salvaged) Py_RETURN_NONE;
    Ref replay = Ref::steal(make_object(std::move(salvaged->replay)));
    Ref fields_read = Ref::steal(checked(PyLong_FromUnsignedLongLong(salvaged->fields_read.to_ullong())));
    return checked(PyTuple_Pack(3, replay.get(), fields_read.get(), salvaged->frames_partial ? Py_True : Py_False));
}

// Memory exhaustion while salvaging leaves nothing to give: the caller keeps the error alone.
std::optional<SalvagedReplay> salvage_or_nothing(ByteView contents, bool header_only) noexcept {
    try {
        return salvage_replay(contents, header_only);
    } catch (...) {
        return std::nullopt;
    }
}

constexpr std::array<const char*, 2> kSalvageParameters{"source", "header_only"};
constexpr Signature kSalvageSignature{nullptr, "salvage", kSalvageParameters, 2};

// salvage(source, header_only): source is a path or a file's contents (bytes-like).
PyObject* salvage(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_function(kSalvageSignature, args, nargs, kwnames, std::tuple{Borrowed{}, false},
                         [](Borrowed source, bool header_only) -> PyObject* {
                             if (!PyUnicode_Check(source.object) && PyObject_CheckBuffer(source.object)) {
                                 HeldBuffer buffer;
                                 if (!buffer.acquire(source.object)) return nullptr;
                                 return salvage_result(without_interpreter_lock(
                                     [&] { return salvage_or_nothing(buffer.bytes(), header_only); }));
                             }
                             String path;
                             if (!path_bytes(source.object, path)) return nullptr;
                             return salvage_result(without_interpreter_lock([&]() -> std::optional<SalvagedReplay> {
                                 std::variant<ByteBuffer, Failure> read = read_file_or_failure(path);
                                 const ByteBuffer* bytes = std::get_if<ByteBuffer>(&read);
                                 if (bytes == nullptr) return std::nullopt;
                                 return salvage_or_nothing(ByteView(bytes->data(), bytes->size()), header_only);
                             }));
                         });
}

PyMethodDef kFunctions[] = {
    {"salvage", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&salvage)), METH_FASTCALL | METH_KEYWORDS,
     "What a damaged file still holds, read without the lock."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_salvage(PyObject* native) { return PyModule_AddFunctions(native, kFunctions) == 0; }

}  // namespace kz::py
