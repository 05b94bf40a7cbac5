// The bulk part of kadenzo._native. The calling thread holds the interpreter
// lock only to pull paths, to build result objects and to check for signals;
// reading, decoding and waiting happen without it.
#include "bulk/py_bulk.hpp"

#include <array>
#include <chrono>
#include <deque>

#include "batch/worker_pool.hpp"
#include "binding/py_arguments.hpp"
#include "binding/py_class.hpp"
#include "binding/py_convert.hpp"
#include "bulk/decode_outcome.hpp"
#include "bulk/ordered_stream.hpp"

namespace kz::py {

// Any object, borrowed for the call: the function looks at it itself.
struct AnyObject {
    PyObject* object = nullptr;
};

template <>
struct Converter<AnyObject> {
    static bool from_py(PyObject* value, AnyObject& out) noexcept {
        out.object = value;
        return true;
    }
};

// The state behind one BulkStream object.
struct BulkStream {
    OrderedStream<Outcome> stream;
    Ref paths;  // the iterator of paths, null once it is exhausted or the stream is closed
    std::deque<Ref, Allocator<Ref>> given;  // the path objects of the pending items, in order
    bool header_only = false;
};

PyTypeObject* class_of(std::type_identity<BulkStream>);

namespace {

// How long the calling thread waits without the lock before it looks for
// signals: Ctrl-C raises KeyboardInterrupt at most this much later.
constexpr std::chrono::milliseconds kSignalCheckInterval{50};

std::size_t outcome_cost(const Outcome& outcome) noexcept { return outcome_bytes(outcome); }

// os.fsencode: str is encoded with the file-system encoding and its error
// handler (surrogate escapes give back names that are not UTF-8), bytes are
// taken as they are, os.PathLike gives either. Other objects: TypeError.
bool path_bytes(PyObject* path, String& out) {
    Ref fspath = Ref::steal(PyOS_FSPath(path));
    if (!fspath) return false;
    Ref bytes = PyBytes_Check(fspath.get()) ? std::move(fspath)
                                            : Ref::steal(PyUnicode_EncodeFSDefault(fspath.get()));
    if (!bytes) return false;
    out.assign(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
    return true;
}

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

// (replay, None) or (None, (kind, errno, message, detail)).
PyObject* outcome_pair(Outcome&& outcome) {
    if (Replay* replay = std::get_if<Replay>(&outcome)) {
        Ref object = Ref::steal(make_object(std::move(*replay)));
        return checked(PyTuple_Pack(2, object.get(), Py_None));
    }
    const Failure& failure = std::get<Failure>(outcome);
    Ref kind = Ref::steal(checked(PyUnicode_FromString(kind_name(failure.kind))));
    Ref error_number = Ref::steal(checked(PyLong_FromLong(failure.error_number)));
    Ref message = Ref::steal(text_object(failure.message));
    Ref detail = Ref::steal(text_object(failure.detail));
    Ref record = Ref::steal(checked(PyTuple_Pack(4, kind.get(), error_number.get(), message.get(), detail.get())));
    return checked(PyTuple_Pack(2, Py_None, record.get()));
}

// Ends the stream: work not started is dropped, the path iterator let go.
void close_stream(BulkStream& state) {
    state.stream.cancel();
    state.paths = Ref();
    state.given.clear();
}

// Pulls paths while the window has room. False with the exception set when
// the iterator fails or yields something that is not a path.
bool fill(BulkStream& state) {
    while (state.paths && state.stream.wants_more()) {
        Ref item = Ref::steal(PyIter_Next(state.paths.get()));
        if (!item) {
            if (PyErr_Occurred()) return false;
            state.paths = Ref();
            break;
        }
        String path;
        if (!path_bytes(item.get(), path)) return false;
        state.given.push_back(std::move(item));
        try {
            state.stream.add([path = std::move(path), header_only = state.header_only]() noexcept {
                return decode_file_outcome(path, header_only);
            });
        } catch (...) {
            state.given.pop_back();  // the path objects stay paired with the items
            throw;
        }
    }
    return true;
}

PyObject* next_result(PyObject* self) noexcept {
    auto* instance = as_instance<BulkStream>(self);
    return guarded(
        [&]() -> PyObject* {
            ExclusiveBorrow borrow(instance->borrow);  // one caller at a time, even across threads
            if (!borrow.held()) return nullptr;
            BulkStream& state = instance->record;
            if (!fill(state)) {
                close_stream(state);
                return nullptr;
            }
            if (state.given.empty()) return nullptr;  // StopIteration
            std::optional<Outcome> outcome;
            for (;;) {
                Py_BEGIN_ALLOW_THREADS
                outcome = state.stream.take(kSignalCheckInterval);
                Py_END_ALLOW_THREADS
                if (outcome) break;
                if (PyErr_CheckSignals() < 0) {
                    close_stream(state);
                    return nullptr;
                }
            }
            Ref path = std::move(state.given.front());
            state.given.pop_front();
            Ref pair = Ref::steal(outcome_pair(std::move(*outcome)));
            PyObject* first = PyTuple_GET_ITEM(pair.get(), 0);
            PyObject* second = PyTuple_GET_ITEM(pair.get(), 1);
            return checked(PyTuple_Pack(3, path.get(), first, second));
        },
        static_cast<PyObject*>(nullptr));
}

PyObject* close_method(PyObject* self, PyObject*) noexcept {
    auto* instance = as_instance<BulkStream>(self);
    return guarded(
        [&]() -> PyObject* {
            ExclusiveBorrow borrow(instance->borrow);
            if (!borrow.held()) return nullptr;
            close_stream(instance->record);
            Py_RETURN_NONE;
        },
        static_cast<PyObject*>(nullptr));
}

constexpr std::array<const char*, 4> kStreamParameters{"paths", "header_only", "threads", "window"};
constexpr Signature kStreamSignature{"BulkStream", "__new__", kStreamParameters, 4};

// BulkStream(paths, header_only, threads, window): threads and window 0 take the defaults.
PyObject* new_stream(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
    return call_constructor(
        kStreamSignature, args, kwargs, std::tuple{AnyObject{}, false, std::int64_t{0}, std::int64_t{0}},
        [](AnyObject source, bool header_only, std::int64_t threads, std::int64_t window) -> PyObject* {
            Ref paths = Ref::steal(PyObject_GetIter(source.object));
            if (!paths) return nullptr;
            WorkerPool& pool = WorkerPool::global();
            StreamLimits limits;
            limits.runners = threads > 0 ? std::min(static_cast<std::size_t>(threads), pool.size()) : pool.size();
            limits.window = window > 0 ? static_cast<std::size_t>(window) : default_window(limits.runners);
            return make_object(BulkStream{OrderedStream<Outcome>(pool, limits, &outcome_cost), std::move(paths),
                                          {}, header_only});
        });
}

PyObject* window_getter(PyObject* self, void*) noexcept {
    return PyLong_FromSize_t(as_instance<BulkStream>(self)->record.stream.limits().window);
}

PyObject* threads_getter(PyObject* self, void*) noexcept {
    return PyLong_FromSize_t(as_instance<BulkStream>(self)->record.stream.limits().runners);
}

PyMethodDef kStreamMethods[] = {
    {"close", &close_method, METH_NOARGS, "Drops the work not started and lets go of the paths."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kStreamGetSet[] = {
    {"window", &window_getter, nullptr, "Most files added and not yet taken.", nullptr},
    {"threads", &threads_getter, nullptr, "Most files decoded at once.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const PyType_Slot kStreamSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&new_stream)},
    {Py_tp_iter, reinterpret_cast<void*>(&PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(&next_result)},
    {Py_tp_methods, kStreamMethods},
};

// A bytes-like object held for the decode: the lock is released meanwhile,
// and the export keeps a bytearray from being resized or an mmap from closing.
class HeldBuffer {
public:
    bool acquire(PyObject* source) { return held_ = PyObject_GetBuffer(source, &view_, PyBUF_SIMPLE) == 0; }
    ~HeldBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    ByteView bytes() const noexcept {
        return ByteView(static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len));
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

constexpr std::array<const char*, 2> kDecodeOneParameters{"source", "header_only"};
constexpr Signature kDecodeOneSignature{nullptr, "decode_one", kDecodeOneParameters, 2};

// decode_one(source, header_only) -> (replay, None) or (None, failure record).
PyObject* decode_one(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return call_function(
        kDecodeOneSignature, args, nargs, kwnames, std::tuple{AnyObject{}, false},
        [](AnyObject source, bool header_only) -> PyObject* {
            std::optional<Outcome> outcome;
            if (!PyUnicode_Check(source.object) && PyObject_CheckBuffer(source.object)) {
                HeldBuffer buffer;
                if (!buffer.acquire(source.object)) return nullptr;
                Py_BEGIN_ALLOW_THREADS
                outcome.emplace(decode_bytes_outcome(buffer.bytes(), header_only));
                Py_END_ALLOW_THREADS
            } else {
                String path;
                if (!path_bytes(source.object, path)) return nullptr;
                Py_BEGIN_ALLOW_THREADS
                outcome.emplace(decode_file_outcome(path, header_only));
                Py_END_ALLOW_THREADS
            }
            return outcome_pair(std::move(*outcome));
        });
}

PyMethodDef decode_one_def = {"decode_one", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&decode_one)),
                              METH_FASTCALL | METH_KEYWORDS, "Reads and decodes one source without the lock."};

}  // namespace

PyTypeObject* class_of(std::type_identity<BulkStream>) {
    static const ClassSpec spec = class_spec<BulkStream>("BulkStream", "kadenzo._native.BulkStream", kStreamSlots,
                                                         kStreamGetSet);
    static ClassSlot slot;
    return slot.get(spec);
}

bool add_bulk(PyObject* native) {
    PyTypeObject* type = type_of<BulkStream>();
    if (PyModule_AddObjectRef(native, "BulkStream", reinterpret_cast<PyObject*>(type)) < 0) return false;
    Ref function = Ref::steal(PyCMethod_New(&decode_one_def, native, nullptr, nullptr));
    return function && PyModule_AddObjectRef(native, "decode_one", function.get()) == 0;
}

}  // namespace kz::py
