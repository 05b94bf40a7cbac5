// The Python boundary: every entry point the interpreter calls runs its body
// through `guarded`, so no C++ exception ever reaches the interpreter.
#pragma once

#include <Python.h>

#include <exception>
#include <new>

#include "python/binding/py_lock_check.hpp"
#include "failure/stop.hpp"

namespace kz::py {

// The PanicException class (derived from BaseException), created on first use.
PyObject* panic_exception_type();

// Adds _rebuild_panic to kadenzo._native: PanicException pickles as a call
// of it, so that another process unpickles the same class and message.
bool add_panic_pickling(PyObject* native);

// Raises PanicException carrying the stop's message.
void raise_stop(const Stop& stop) noexcept;

// Raises a PanicException for a failure that carries no message.
void raise_unknown_failure() noexcept;

// Turns the pending Python error into a stop ("called `Result::unwrap()` on an
// `Err` value: PyErr { ... }"), for conversions that may only fail when memory
// is exhausted.
[[noreturn]] void stop_with_python_error(std::source_location where = std::source_location::current());

// Whether the exception being handled (in a catch-all) is the unwinding of a
// thread being ended (pthread_exit). That unwinding carries no C++ object:
// current_exception() is empty for it alone. (A handler for
// abi::__forced_unwind would bind a reference to nothing, and the type the
// runtime reports for it is read from memory that is not its own.)
inline bool is_thread_exit_unwind() noexcept { return !std::current_exception(); }

// Runs body(); a stop becomes PanicException and the function returns
// `on_error`. Other exceptions: MemoryError for allocation failures, else a
// PanicException with a generic message.
//
// The one thing let through is the unwinding of a thread that is being
// ended: a daemon thread that takes the interpreter lock back while the
// interpreter shuts down is ended by pthread_exit, which unwinds its stack.
// Swallowing that unwind aborts the process, and creating an exception there
// would touch the interpreter without its lock. So `guarded` is not noexcept,
// and neither is an entry point whose body releases the lock (see
// py_unlocked.hpp): a noexcept frame on the way would also abort.
template <class Body, class T>
T guarded(Body&& body, T on_error) {
    assert_interpreter_lock_held();
    try {
        return body();
    } catch (const Stop& stop) {
        raise_stop(stop);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        if (is_thread_exit_unwind()) throw;
        raise_unknown_failure();
    }
    return on_error;
}

}  // namespace kz::py
