// The borrow counter every instance carries: shared for readers, exclusive for
// writers. It guards against re-entry on the same thread (the interpreter lock
// serialises threads), so it is plain data, not an atomic.
#pragma once

#include <Python.h>

namespace kz::py {

class BorrowFlag {
public:
    bool is_written() const noexcept { return state_ == kExclusive; }
    bool is_free() const noexcept { return state_ == 0; }

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

// Holds a shared borrow for a scope. Check `held()`; on failure the
// RuntimeError "Already mutably borrowed" is set.
class SharedBorrow {
public:
    explicit SharedBorrow(BorrowFlag& flag) noexcept : flag_(flag.try_share() ? &flag : nullptr) {
        if (flag_ == nullptr) PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
    }
    ~SharedBorrow() {
        if (flag_ != nullptr) flag_->unshare();
    }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    bool held() const noexcept { return flag_ != nullptr; }

private:
    BorrowFlag* flag_;
};

// Holds the exclusive borrow for a scope; on failure "Already borrowed" is set.
class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(BorrowFlag& flag) noexcept : flag_(flag.try_exclusive() ? &flag : nullptr) {
        if (flag_ == nullptr) PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    }
    ~ExclusiveBorrow() {
        if (flag_ != nullptr) flag_->release_exclusive();
    }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    bool held() const noexcept { return flag_ != nullptr; }

private:
    BorrowFlag* flag_;
};

}  // namespace kz::py
