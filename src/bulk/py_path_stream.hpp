// A Python iterator over the results of many paths, decoded on the worker
// pool in input order: the paths are pulled from a Python iterator as the
// window has room, and the caller waits for each result without the
// interpreter lock, looking for signals between short waits. One template
// for every form a decoded file takes (Replay objects, frame columns): a form
// gives its decode function, its conversion to Python and its class.
#pragma once

#include <Python.h>

#include <chrono>
#include <deque>
#include <variant>

#include "batch/worker_pool.hpp"
#include "binding/py_class.hpp"
#include "binding/py_convert.hpp"
#include "bulk/failure.hpp"
#include "bulk/ordered_stream.hpp"

namespace kz::py {

// How long the calling thread waits without the lock before it looks for
// signals: Ctrl-C raises KeyboardInterrupt at most about this much later.
inline constexpr std::chrono::milliseconds kSignalCheckInterval{50};

template <class Value>
struct PathStream {
    using Result = std::variant<Value, Failure>;
    // Reads and decodes one path (or decodes one file's contents, for a
    // stream of contents) on a pool thread; never throws.
    using Decode = Result (*)(const String& item, bool header_only) noexcept;
    // The bytes an input item gives the decode function (a path's, or the
    // contents copied out of a bytes-like object); false with the exception set.
    using Take = bool (*)(PyObject* item, String& out);
    // The Python object of a decoded value (a new reference; stops on failure).
    using ToPython = PyObject* (*)(Value&& value);

    OrderedStream<Result> stream;
    Ref paths;  // the iterator of paths, null once it is exhausted or the stream is closed
    std::deque<Ref, Allocator<Ref>> given;  // the path objects of the pending items, in order
    bool header_only = false;
    Decode decode = nullptr;
    ToPython to_python = nullptr;
    Take take = nullptr;
};

// os.fsencode: str is encoded with the file-system encoding and its error
// handler (surrogate escapes give back names that are not UTF-8), bytes are
// taken as they are, os.PathLike gives either. Other objects: TypeError.
bool path_bytes(PyObject* path, String& out);

// A copy of a bytes-like object's contents (str refused with TypeError): the
// copy, not the object, goes to the pool thread, so a bytearray changed
// meanwhile cannot change what is decoded.
bool contents_bytes(PyObject* contents, String& out);

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
}

// Pulls paths while the window has room. False with the exception set when
// the iterator fails or yields something that is not a path.
template <class Value>
bool fill(PathStream<Value>& state) {
    while (state.paths && state.stream.wants_more()) {
        Ref item = Ref::steal(PyIter_Next(state.paths.get()));
        if (!item) {
            if (PyErr_Occurred()) return false;
            state.paths = Ref();
            break;
        }
        String path;
        if (!state.take(item.get(), path)) return false;
        state.given.push_back(std::move(item));
        try {
            state.stream.add([path = std::move(path), header_only = state.header_only, decode = state.decode] {
                return decode(path, header_only);
            });
        } catch (...) {
            state.given.pop_back();  // the path objects stay paired with the items
            throw;
        }
    }
    return true;
}

// tp_iternext: (path, value, None) or (path, None, failure record).
template <class Value>
PyObject* next(PyObject* self) noexcept {
    auto* instance = as_instance<PathStream<Value>>(self);
    return guarded(
        [&]() -> PyObject* {
            ExclusiveBorrow borrow(instance->borrow);  // one caller at a time, even across threads
            if (!borrow.held()) return nullptr;
            PathStream<Value>& state = instance->record;
            if (!fill(state)) {
                close(state);
                return nullptr;
            }
            if (state.given.empty()) return nullptr;  // StopIteration
            std::optional<typename PathStream<Value>::Result> result;
            for (;;) {
                Py_BEGIN_ALLOW_THREADS
                result = state.stream.take(kSignalCheckInterval);
                Py_END_ALLOW_THREADS
                if (result) break;
                if (PyErr_CheckSignals() < 0) {
                    close(state);
                    return nullptr;
                }
            }
            Ref path = std::move(state.given.front());
            state.given.pop_front();
            Ref pair = Ref::steal(result_pair(state, std::move(*result)));
            return checked(PyTuple_Pack(3, path.get(), PyTuple_GET_ITEM(pair.get(), 0), PyTuple_GET_ITEM(pair.get(), 1)));
        },
        static_cast<PyObject*>(nullptr));
}

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

// A new stream over `paths` (any iterable; of contents with contents_bytes as `take`). `threads` and `window` of 0 take
// the defaults: the pool's size and default_window(threads).
template <class Value>
PyObject* new_path_stream(PyObject* paths, bool header_only, std::int64_t threads, std::int64_t window,
                          typename PathStream<Value>::Decode decode, typename PathStream<Value>::ToPython to_python,
                          typename OrderedStream<typename PathStream<Value>::Result>::Cost cost,
                          typename PathStream<Value>::Take take = &path_bytes) {
    Ref iterator = Ref::steal(PyObject_GetIter(paths));
    if (!iterator) return nullptr;
    WorkerPool& pool = WorkerPool::global();
    StreamLimits limits;
    limits.runners = threads > 0 ? std::min(static_cast<std::size_t>(threads), pool.size()) : pool.size();
    limits.window = window > 0 ? static_cast<std::size_t>(window) : default_window(limits.runners);
    return make_object(PathStream<Value>{OrderedStream<typename PathStream<Value>::Result>(pool, limits, cost),
                                         std::move(iterator), {}, header_only, decode, to_python, take});
}

}  // namespace kz::py
