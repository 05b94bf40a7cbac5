// The bulk part of kadenzo._native: a stream of Replay objects over many
// paths, and the single-file decode. The calling thread holds the interpreter
// lock only to pull paths, to build result objects and to check for signals;
// reading, decoding and waiting happen without it.
#include "python/bulk/py_bulk.hpp"

#include <array>

#include "python/binding/py_arguments.hpp"
#include "python/binding/py_held_buffer.hpp"
#include "python/binding/py_unlocked.hpp"
#include "bulk/decode_outcome.hpp"
#include "python/bulk/py_path_stream.hpp"

namespace kz::py {

PyTypeObject* class_of(std::type_identity<PathStream<Replay>>);

bool path_bytes(PyObject* path, String& out) {
    Ref fspath = Ref::steal(PyOS_FSPath(path));
    if (!fspath) return false;
    Ref bytes = PyBytes_Check(fspath.get()) ? std::move(fspath) : Ref::steal(PyUnicode_EncodeFSDefault(fspath.get()));
    if (!bytes) return false;
    out.assign(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
    return true;
}

namespace {

PyObject* text_object(const String& text) {
    return checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

const char* kind_name(FailureKind kind) noexcept {
    switch (kind) {
        case FailureKind::File: return "file";
        case FailureKind::Limit: return "limit";
        case FailureKind::Decode: break;
    }
    return "decode";
}

}  // namespace

PyObject* failure_record(const Failure& failure) {
    Ref kind = Ref::steal(checked(PyUnicode_FromString(kind_name(failure.kind))));
    Ref error_number = Ref::steal(checked(PyLong_FromLong(failure.error_number)));
    Ref message = Ref::steal(text_object(failure.message));
    Ref detail = Ref::steal(text_object(failure.detail));
    return checked(PyTuple_Pack(4, kind.get(), error_number.get(), message.get(), detail.get()));
}

namespace {

std::size_t outcome_cost(const Outcome& outcome) noexcept { return outcome_bytes(outcome); }

PyObject* replay_object(Replay&& replay) { return make_object(std::move(replay)); }

// (replay, None) or (None, failure record).
PyObject* outcome_pair(Outcome&& outcome) {
    if (Replay* replay = std::get_if<Replay>(&outcome)) {
        Ref object = Ref::steal(replay_object(std::move(*replay)));
        return checked(PyTuple_Pack(2, object.get(), Py_None));
    }
    Ref record = Ref::steal(failure_record(std::get<Failure>(outcome)));
    return checked(PyTuple_Pack(2, Py_None, record.get()));
}

constexpr std::array<const char*, 5> kStreamParameters{"paths", "header_only", "threads", "window", "contents"};
constexpr Signature kStreamSignature{nullptr, "replay_stream", kStreamParameters, 4};

// replay_stream(paths, header_only, threads, window, contents=False): threads
// and window 0 take the defaults; with contents=True the items are (label,
// bytes-like or path) pairs instead of paths.
PyObject* replay_stream(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return call_function(
        kStreamSignature, args, nargs, kwnames, std::tuple{Borrowed{}, false, std::int64_t{0}, std::int64_t{0}, false},
        [](Borrowed paths, bool header_only, std::int64_t threads, std::int64_t window, bool contents) {
            return new_path_stream<Replay>(paths.object, header_only, threads, window, &decode_file_outcome,
                                           &replay_object, &outcome_cost, contents ? &decode_bytes_outcome : nullptr);
        });
}

constexpr std::array<const char*, 2> kDecodeOneParameters{"source", "header_only"};
constexpr Signature kDecodeOneSignature{nullptr, "decode_one", kDecodeOneParameters, 2};

// decode_one(source, header_only) -> (replay, None) or (None, failure record).
// Not noexcept: the lock is released while the file is read and decoded (see guarded).
PyObject* decode_one(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_function(
        kDecodeOneSignature, args, nargs, kwnames, std::tuple{Borrowed{}, false},
        [](Borrowed source, bool header_only) -> PyObject* {
            if (!PyUnicode_Check(source.object) && PyObject_CheckBuffer(source.object)) {
                HeldBuffer buffer;
                if (!buffer.acquire(source.object)) return nullptr;
                return outcome_pair(
                    without_interpreter_lock([&] { return decode_bytes_outcome(buffer.bytes(), header_only); }));
            }
            String path;
            if (!path_bytes(source.object, path)) return nullptr;
            return outcome_pair(without_interpreter_lock([&] { return decode_file_outcome(path, header_only); }));
        });
}

PyMethodDef kFunctions[] = {
    {"replay_stream", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&replay_stream)),
     METH_FASTCALL | METH_KEYWORDS, "The Replay objects of many paths, in order, decoded on the pool."},
    {"decode_one", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&decode_one)),
     METH_FASTCALL | METH_KEYWORDS, "Reads and decodes one source without the lock."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* class_of(std::type_identity<PathStream<Replay>>) {
    static const ClassSpec spec = path_stream_spec<Replay>("ReplayStream", "kadenzo._native.ReplayStream");
    static ClassSlot slot;
    return slot.get(spec);
}

bool add_bulk(PyObject* native) {
    PyTypeObject* type = type_of<PathStream<Replay>>();
    if (PyModule_AddObjectRef(native, "ReplayStream", reinterpret_cast<PyObject*>(type)) < 0) return false;
    return PyModule_AddFunctions(native, kFunctions) == 0;
}

}  // namespace kz::py
