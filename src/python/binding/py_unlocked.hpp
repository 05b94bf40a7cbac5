// Work done without the interpreter lock, and the lock taken back after it,
// safely even when the interpreter shuts down meanwhile.
#pragma once

#include <Python.h>

#include <utility>

#include "python/binding/py_panic.hpp"

namespace kz::py {

// Runs work() with the interpreter lock released and returns its result with
// the lock held again.
//
// When the interpreter is shutting down, taking the lock back ends a daemon
// thread by pthread_exit, which unwinds this stack: callers between here and
// the interpreter must not be noexcept (see guarded), and destructors that
// run on the way must not touch Python objects without checking that the
// lock is held (holds_interpreter_lock). Any other exception from work()
// takes the lock back before it goes on, so the caller's handlers run with it.
template <class Work>
auto without_interpreter_lock(Work&& work) -> decltype(work()) {
    PyThreadState* saved = PyEval_SaveThread();
    try {
        auto result = std::forward<Work>(work)();
        PyEval_RestoreThread(saved);
        return result;
    } catch (...) {
        if (!is_thread_exit_unwind()) PyEval_RestoreThread(saved);  // an ending thread never takes it again
        throw;
    }
}

// Inside work that without_interpreter_lock runs: fn() with the lock taken
// back for a moment (a watch that checks for signals or reports progress).
// Taking it back may end a daemon thread at shutdown, as above: fn() then
// never runs and the unwind goes on.
template <class Fn>
auto with_interpreter_lock(Fn&& fn) -> decltype(fn()) {
    struct Release {
        PyGILState_STATE state;
        ~Release() { PyGILState_Release(state); }
    } release{PyGILState_Ensure()};
    return std::forward<Fn>(fn)();
}

// Whether this thread holds the interpreter lock: false in destructors that
// run while a thread is ended during shutdown.
inline bool holds_interpreter_lock() noexcept { return PyGILState_Check() != 0; }

}  // namespace kz::py
