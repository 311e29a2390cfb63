// Header pairs for dispatch, converted like the shared header-pairs conversion (same checks,
// order and messages) but kept as Python tuples of two exact bytes objects. An exact tuple
// of two exact bytes objects is the caller's own (immutable, so sharing it is as good as a
// copy); any other accepted pair becomes a new tuple. A hit hands them to the handler
// without copying any header text.
#pragma once
#include <Python.h>

#include <cstddef>
#include <vector>

#include "module/py_ref.h"

namespace calvenor {

class HeaderObjects {
public:
    static constexpr std::size_t kInline = 8;  // typical requests need no allocation

    std::size_t size() const { return n_; }
    PyObject* operator[](std::size_t i) const { return i < kInline ? inline_[i].get() : more_[i - kInline].get(); }
    void push_back(Ref pair) {
        if (n_ < kInline)
            inline_[n_] = std::move(pair);
        else
            more_.push_back(std::move(pair));
        ++n_;
    }
    void reserve(std::size_t n) {
        if (n > kInline) more_.reserve(n - kInline);
    }

private:
    Ref inline_[kInline];
    std::vector<Ref> more_;
    std::size_t n_ = 0;
};

bool to_header_objects(PyObject* obj, HeaderObjects& out);

// Converter for the member trampolines.
struct HeaderObjectsArg {
    using value_type = HeaderObjects;
    static bool convert(PyObject* o, value_type& v) { return to_header_objects(o, v); }
};

}  // namespace calvenor
