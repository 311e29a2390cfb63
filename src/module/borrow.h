// The per-object borrow flag: 0 free, n > 0 shared accesses, -1 one exclusive access.
// A conflicting access fails at once with RuntimeError instead of waiting; the guards give
// the access back on every way out of a member.
#pragma once
#include <Python.h>

#include <atomic>

namespace calvenor {

struct BorrowFlag {
    std::atomic<Py_ssize_t> state{0};
};

class SharedAccess {
public:
    explicit SharedAccess(BorrowFlag& flag) noexcept : flag_(&flag) {
        Py_ssize_t cur = flag.state.load(std::memory_order_relaxed);
        for (;;) {
            if (cur == -1) {
                PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
                flag_ = nullptr;
                return;
            }
            if (flag.state.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire,
                                                 std::memory_order_relaxed))
                return;
        }
    }
    ~SharedAccess() {
        if (flag_) flag_->state.fetch_sub(1, std::memory_order_release);
    }
    SharedAccess(const SharedAccess&) = delete;
    SharedAccess& operator=(const SharedAccess&) = delete;
    bool ok() const noexcept { return flag_ != nullptr; }

private:
    BorrowFlag* flag_;
};

class ExclusiveAccess {
public:
    explicit ExclusiveAccess(BorrowFlag& flag) noexcept : flag_(&flag) {
        Py_ssize_t expected = 0;
        if (!flag.state.compare_exchange_strong(expected, -1, std::memory_order_acquire,
                                                std::memory_order_relaxed)) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            flag_ = nullptr;
        }
    }
    ~ExclusiveAccess() {
        if (flag_) flag_->state.store(0, std::memory_order_release);
    }
    ExclusiveAccess(const ExclusiveAccess&) = delete;
    ExclusiveAccess& operator=(const ExclusiveAccess&) = delete;
    bool ok() const noexcept { return flag_ != nullptr; }

private:
    BorrowFlag* flag_;
};

// No access taken at all (constructors, static methods).
struct NoAccess {
    explicit NoAccess(BorrowFlag&) noexcept {}
    bool ok() const noexcept { return true; }
};

}  // namespace calvenor
