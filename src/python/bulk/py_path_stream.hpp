// A Python iterator over the results of many paths, decoded on the worker
// pool in input order: the paths are pulled from a Python iterator as the
// window has room, and the caller waits for each result without the
// interpreter lock, looking for signals between short waits. One template
// for every form a decoded file takes (Replay objects, frame columns): a form
// gives its decode function, its conversion to Python and its class.
#pragma once

#include <Python.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <variant>

#include "worker_pool/worker_pool.hpp"
#include "python/binding/py_class.hpp"
#include "python/binding/py_convert.hpp"
#include "python/binding/py_unlocked.hpp"
#include "bulk/failure.hpp"
#include "bulk/ordered_stream.hpp"
#include "files/byte_buffer.hpp"
#include "failure/decode_result.hpp"

namespace kz::py {

// How long the calling thread waits without the lock before it looks for
// signals: Ctrl-C raises KeyboardInterrupt at most about this much later.
inline constexpr std::chrono::milliseconds kSignalCheckInterval{50};

// A Python exception taken out of the interpreter to be raised later.
class PendingError {
public:
    void fetch() noexcept {
        PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        type_ = Ref::steal(type), value_ = Ref::steal(value), traceback_ = Ref::steal(traceback);
    }
    // Sets it as the current exception; false when none was fetched.
    bool restore() noexcept {
        if (!type_) return false;
        PyErr_Restore(type_.release(), value_.release(), traceback_.release());
        return true;
    }
    void clear() noexcept { type_ = Ref(), value_ = Ref(), traceback_ = Ref(); }
    // KeyboardInterrupt, SystemExit and the like: not a fault of one input, and never kept waiting.
    bool is_urgent() const noexcept { return type_ && !PyErr_GivenExceptionMatches(type_.get(), PyExc_Exception); }

private:
    Ref type_, value_, traceback_;
};

template <class Value>
struct PathStream {
    using Result = std::variant<Value, Failure>;
    // Reads and decodes one path on a pool thread; never throws.
    using Decode = Result (*)(const String& path, bool header_only) noexcept;
    // Decodes one file's contents on a pool thread; never throws.
    using DecodeContents = Result (*)(ByteView contents, bool header_only) noexcept;
    // The Python object of a decoded value (a new reference; stops on failure).
    using ToPython = PyObject* (*)(Value&& value);

    OrderedStream<Result> stream;
    Ref paths;                              // the iterator of paths, null once it is exhausted or the stream is closed
    std::deque<Ref, Allocator<Ref>> given;  // the path objects of the pending items, in order
    bool header_only = false;
    Decode decode = nullptr;
    ToPython to_python = nullptr;
    // Set when the items are (label, source) pairs: a source is a file's
    // contents (bytes-like, read by the caller: an archive's member) or a path.
    DecodeContents decode_contents = nullptr;
    // What stopped the input (its iterator raised, or an item was no path):
    // raised once every result before it has been yielded.
    PendingError input_error;
};

// os.fsencode: str is encoded with the file-system encoding and its error
// handler (surrogate escapes give back names that are not UTF-8), bytes are
// taken as they are, os.PathLike gives either. Other objects: TypeError.
bool path_bytes(PyObject* path, String& out);

// (kind, errno, message, detail) with kind "file", "decode" or "limit".
PyObject* failure_record(const Failure& failure);

namespace path_stream_detail {

template <class Value>
PyObject* result_pair(PathStream<Value>& state, typename PathStream<Value>::Result&& result) {
    if (Value* value = std::get_if<Value>(&result)) {
        Ref object = Ref::steal(state.to_python(std::move(*value)));
        return checked(PyTuple_Pack(2, object.get(), Py_None));
    }
    Ref record = Ref::steal(failure_record(std::get<Failure>(result)));
    return checked(PyTuple_Pack(2, Py_None, record.get()));
}

template <class Value>
void close(PathStream<Value>& state) {
    state.stream.cancel();
    state.paths = Ref();
    state.given.clear();
    state.input_error.clear();
}

// The work of one input item: decoding its path, or, in a contents stream,
// its (label, bytes-like or path) pair, when `item` becomes the label that
// stands for the file in the results. Contents are copied, since the object
// may change once the lock is let go and need not outlive this call; `held`
// is then their size. False with the exception set when the item is neither.
template <class Value>
bool work_for(const PathStream<Value>& state, Ref& item,
              typename OrderedStream<typename PathStream<Value>::Result>::Work& work, std::size_t& held) {
    PyObject* source = item.get();
    if (state.decode_contents != nullptr) {
        if (!PyTuple_Check(item.get()) || PyTuple_GET_SIZE(item.get()) != 2) {
            PyErr_SetString(PyExc_TypeError, "a contents stream takes (label, bytes-like or path) pairs");
            return false;
        }
        source = PyTuple_GET_ITEM(item.get(), 1);
    }
    if (state.decode_contents == nullptr || !PyObject_CheckBuffer(source)) {
        String path;
        if (!path_bytes(source, path)) return false;
        if (source != item.get()) item = Ref::steal(Py_NewRef(PyTuple_GET_ITEM(item.get(), 0)));
        work = [path = std::move(path), header_only = state.header_only, decode = state.decode] {
            return decode(path, header_only);
        };
        return true;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(source, &view, PyBUF_SIMPLE) < 0) return false;
    std::shared_ptr<ByteBuffer> contents;
    try {
        const auto size = static_cast<std::size_t>(view.len);
        contents = std::allocate_shared<ByteBuffer>(Allocator<ByteBuffer>{}, size);
        if (size != 0) std::memcpy(contents->end(), view.buf, size);
        contents->commit(size);
    } catch (...) {
        PyBuffer_Release(&view);
        throw;
    }
    PyBuffer_Release(&view);
    held = contents->size();
    item = Ref::steal(Py_NewRef(PyTuple_GET_ITEM(item.get(), 0)));
    work = [contents = std::move(contents), header_only = state.header_only, decode = state.decode_contents] {
        return decode(ByteView(contents->data(), contents->size()), header_only);
    };
    return true;
}

// Pulls paths while the window has room. When the iterator fails or yields
// something that is not a path, pulling stops and the error waits in
// input_error: the results of the paths before it come first. False with the
// exception set for an urgent one (Ctrl-C inside the iterator), raised now.
template <class Value>
bool fill(PathStream<Value>& state) {
    while (state.paths && state.stream.wants_more()) {
        Ref item = Ref::steal(PyIter_Next(state.paths.get()));
        typename OrderedStream<typename PathStream<Value>::Result>::Work work;
        std::size_t held = 0;
        if (!item || !work_for(state, item, work, held)) {
            if (PyErr_Occurred()) state.input_error.fetch();
            state.paths = Ref();
            return !state.input_error.is_urgent() || !state.input_error.restore();
        }
        state.given.push_back(std::move(item));
        try {
            state.stream.add(std::move(work), held);
        } catch (...) {
            state.given.pop_back();  // the path objects stay paired with the items
            throw;
        }
    }
    return true;
}

// The stream's results are computed by the pool threads of the process that
// made it; a child made by fork() has none of them.
inline bool made_elsewhere(const OrderedStreamOwner& owner) {
    if (owner.is_this_process()) return false;
    PyErr_SetString(PyExc_RuntimeError,
                    "this kadenzo.bulk.decode iterator belongs to the process that made it; "
                    "after fork() the child must start its own decode");
    return true;
}

// tp_iternext: (path, value, None) or (path, None, failure record). Not
// noexcept: the lock is released while it waits (see guarded).
template <class Value>
PyObject* next(PyObject* self) {
    auto* instance = as_instance<PathStream<Value>>(self);
    return guarded(
        [&]() -> PyObject* {
            ExclusiveBorrow borrow(instance->borrow);  // one caller at a time, even across threads
            if (!borrow.held()) return nullptr;
            PathStream<Value>& state = instance->record;
            if (made_elsewhere(state.stream.owner())) return nullptr;
            if (!fill(state)) {
                close(state);
                return nullptr;
            }
            if (state.given.empty()) {
                if (!state.input_error.restore()) return nullptr;  // StopIteration
                close(state);
                return nullptr;
            }
            std::optional<typename PathStream<Value>::Result> result;
            for (;;) {
                result = without_interpreter_lock([&] { return state.stream.take(kSignalCheckInterval); });
                if (result) break;
                if (PyErr_CheckSignals() < 0) {
                    close(state);
                    return nullptr;
                }
            }
            Ref path = std::move(state.given.front());
            state.given.pop_front();
            Ref pair = Ref::steal(result_pair(state, std::move(*result)));
            return checked(
                PyTuple_Pack(3, path.get(), PyTuple_GET_ITEM(pair.get(), 0), PyTuple_GET_ITEM(pair.get(), 1)));
        },
        static_cast<PyObject*>(nullptr));
}

// close(): in a forked child it only lets go (see OrderedStream::cancel).
template <class Value>
PyObject* close_method(PyObject* self, PyObject*) noexcept {
    auto* instance = as_instance<PathStream<Value>>(self);
    return guarded(
        [&]() -> PyObject* {
            ExclusiveBorrow borrow(instance->borrow);
            if (!borrow.held()) return nullptr;
            close(instance->record);
            Py_RETURN_NONE;
        },
        static_cast<PyObject*>(nullptr));
}

template <class Value>
PyObject* window(PyObject* self, void*) noexcept {
    return PyLong_FromSize_t(as_instance<PathStream<Value>>(self)->record.stream.limits().window);
}

template <class Value>
PyObject* threads(PyObject* self, void*) noexcept {
    return PyLong_FromSize_t(as_instance<PathStream<Value>>(self)->record.stream.limits().runners);
}

template <class Value>
struct Tables {
    static inline PyMethodDef methods[] = {
        {"close", &close_method<Value>, METH_NOARGS, "Drops the work not started and lets go of the paths."},
        {nullptr, nullptr, 0, nullptr},
    };
    static inline PyGetSetDef getset[] = {
        {"window", &window<Value>, nullptr, "Most paths taken and not yet yielded.", nullptr},
        {"threads", &threads<Value>, nullptr, "Most files decoded at once.", nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static inline const PyType_Slot slots[] = {
        {Py_tp_iter, reinterpret_cast<void*>(&PyObject_SelfIter)},
        {Py_tp_iternext, reinterpret_cast<void*>(&next<Value>)},
        {Py_tp_methods, methods},
    };
};

}  // namespace path_stream_detail

// The class table of the streams of one form; made only by new_path_stream.
template <class Value>
ClassSpec path_stream_spec(const char* python_name, const char* spec_name) {
    using Tables = path_stream_detail::Tables<Value>;
    return class_spec<PathStream<Value>>(python_name, spec_name, Tables::slots, Tables::getset);
}

// A new stream over `paths` (any iterable). `threads` and `window` of 0 take
// the defaults: the pool's size and default_window(threads).
template <class Value>
PyObject* new_path_stream(PyObject* paths, bool header_only, std::int64_t threads, std::int64_t window,
                          typename PathStream<Value>::Decode decode, typename PathStream<Value>::ToPython to_python,
                          typename OrderedStream<typename PathStream<Value>::Result>::Cost cost,
                          typename PathStream<Value>::DecodeContents decode_contents = nullptr) {
    Ref iterator = Ref::steal(PyObject_GetIter(paths));
    if (!iterator) return nullptr;
    WorkerPool& pool = WorkerPool::global();
    StreamLimits limits;
    limits.runners = threads > 0 ? std::min(static_cast<std::size_t>(threads), pool.size()) : pool.size();
    limits.window = window > 0 ? static_cast<std::size_t>(window) : default_window(limits.runners);
    return make_object(PathStream<Value>{OrderedStream<typename PathStream<Value>::Result>(pool, limits, cost),
                                         std::move(iterator),
                                         {},
                                         header_only,
                                         decode,
                                         to_python,
                                         decode_contents,
                                         {}});
}

}  // namespace kz::py
