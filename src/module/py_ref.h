// Owned references to Python objects. `Ref` releases what it holds when it goes out of
// scope, so an early return can never leak; `borrow` adds a reference, `steal` adopts one.
#pragma once
#include <Python.h>

#include <utility>

namespace calvenor {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Adopts a new reference (may be NULL, e.g. straight from a failing API call).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Takes an additional reference to a borrowed object.
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    // Hands the reference to the caller (typically back to Python).
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

inline PyObject* new_ref(PyObject* p) noexcept {
    Py_INCREF(p);
    return p;
}

}  // namespace calvenor
