// The borrow counter every instance carries: shared for readers, exclusive for
// writers. It guards against re-entry on the same thread (the interpreter lock
// serialises threads), so it is plain data, not an atomic.
#pragma once

#include <Python.h>

namespace kz::py {

class BorrowFlag {
public:
    bool is_written() const noexcept { return state_ == kExclusive; }

    bool try_share() noexcept {
        if (state_ == kExclusive) return false;
        ++state_;
        return true;
    }
    void unshare() noexcept { --state_; }

    bool try_exclusive() noexcept {
        if (state_ != 0) return false;
        state_ = kExclusive;
        return true;
    }
    void release_exclusive() noexcept { state_ = 0; }

private:
    static constexpr Py_ssize_t kExclusive = -1;
    Py_ssize_t state_ = 0;
};

// Holds a borrow for a scope: shared for readers, exclusive for writers.
// Check `held()`; when the borrow is refused, the RuntimeError is already set
// ("Already mutably borrowed" for a reader, "Already borrowed" for a writer).
template <bool exclusive>
class ScopedBorrow {
public:
    explicit ScopedBorrow(BorrowFlag& flag) noexcept
        : flag_((exclusive ? flag.try_exclusive() : flag.try_share()) ? &flag : nullptr) {
        if (flag_ == nullptr) {
            PyErr_SetString(PyExc_RuntimeError, exclusive ? "Already borrowed" : "Already mutably borrowed");
        }
    }
    ~ScopedBorrow() {
        if (flag_ == nullptr) return;
        if constexpr (exclusive) {
            flag_->release_exclusive();
        } else {
            flag_->unshare();
        }
    }
    ScopedBorrow(const ScopedBorrow&) = delete;
    ScopedBorrow& operator=(const ScopedBorrow&) = delete;
    bool held() const noexcept { return flag_ != nullptr; }

private:
    BorrowFlag* flag_;
};

using SharedBorrow = ScopedBorrow<false>;
using ExclusiveBorrow = ScopedBorrow<true>;

}  // namespace kz::py
