// A check that the calling thread holds the interpreter lock, made wherever
// the binding touches Python objects. Code run on a worker thread that
// strayed into the binding would otherwise corrupt reference counts at
// random, far from the fault; with the check it stops at the first touch,
// naming the place. Compiled into debug builds (NDEBUG unset) and the
// sanitized build (KADENZO_CHECK_INTERPRETER_LOCK); release builds skip it.
#pragma once

#include <Python.h>

#include <cstdio>
#include <cstdlib>
#include <source_location>

namespace kz::py {

#if !defined(NDEBUG) || defined(KADENZO_CHECK_INTERPRETER_LOCK)
inline constexpr bool kCheckInterpreterLock = true;
#else
inline constexpr bool kCheckInterpreterLock = false;
#endif

inline void assert_interpreter_lock_held(std::source_location where = std::source_location::current()) noexcept {
    if constexpr (kCheckInterpreterLock) {
        if (!PyGILState_Check()) {
            std::fprintf(stderr, "%s:%u: %s: Python object touched without the interpreter lock\n", where.file_name(),
                         static_cast<unsigned>(where.line()), where.function_name());
            std::abort();
        }
    }
}

}  // namespace kz::py
