// Argument conversions shared by every member. Each returns false with the conversion's
// own exception set; the caller adds the "argument '{P}': " prefix (see binding.h).
#pragma once
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "module/py_ref.h"

namespace calvenor {

// Bytes converted from a byte sequence. An exact bytes object is viewed in place (it cannot
// change and the caller's argument keeps it alive); everything else is copied.
class ByteArg {
public:
    std::string_view view() const noexcept { return view_; }
    // An owned copy, moving the buffer when there already is one.
    std::string take() && { return owned_ ? std::move(buf_) : std::string(view_); }

    void set_view(std::string_view v) {
        view_ = v;
        owned_ = false;
    }
    std::string& own() {
        owned_ = true;
        return buf_;
    }
    void seal() { view_ = buf_; }

private:
    std::string_view view_;
    std::string buf_;
    bool owned_ = false;
};

using HeaderPair = std::pair<std::string, std::string>;
using HeaderList = std::vector<HeaderPair>;

// The sequence check shared by the byte-sequence and header-pair conversions: refuses a str
// and anything the interpreter's sequence check refuses.
bool check_sequence(PyObject* obj);
// Length of a generic sequence as a capacity hint; 0 when it has none.
Py_ssize_t size_hint(PyObject* seq);

// Walks any sequence item by item, like a `for` loop over it would; stops at the first
// item for which `each` returns false.
template <class F>
bool for_each_item(PyObject* seq, F&& each) {
    if (PyList_CheckExact(seq)) {
        // Re-read the size every step: item conversion may run code that changes the list.
        for (Py_ssize_t i = 0; i < PyList_Size(seq); ++i) {
            Ref item = Ref::borrow(PyList_GetItem(seq, i));
            if (!each(item.get())) return false;
        }
        return true;
    }
    if (PyTuple_CheckExact(seq)) {
        Py_ssize_t n = PyTuple_Size(seq);
        for (Py_ssize_t i = 0; i < n; ++i)
            if (!each(PyTuple_GetItem(seq, i))) return false;
        return true;
    }
    Ref it = Ref::steal(PyObject_GetIter(seq));
    if (!it) return false;
    while (Ref item = Ref::steal(PyIter_Next(it.get())))
        if (!each(item.get())) return false;
    return !PyErr_Occurred();
}

// str (subclasses too) -> its UTF-8 text, borrowed from the str object.
bool to_text(PyObject* obj, std::string_view& out);
// A sequence of ints 0..255 that is not a str.
bool to_bytes(PyObject* obj, ByteArg& out);
// A sequence of (bytes-like, bytes-like) tuples.
bool to_header_pairs(PyObject* obj, HeaderList& out);
// Checks one item of a header-pair sequence: a tuple (subclasses too) of length 2.
bool check_header_item(PyObject* item);
// An integer 0..65535 by the interpreter's C long conversion.
bool to_status(PyObject* obj, uint16_t& out);

// Converter types for the member trampolines (method.h): `value_type` and `convert`.
struct Text {
    using value_type = std::string_view;
    static bool convert(PyObject* o, value_type& v) { return to_text(o, v); }
};
struct OptText {
    using value_type = std::optional<std::string_view>;
    static bool convert(PyObject* o, value_type& v) {
        if (o == Py_None) return true;
        return to_text(o, v.emplace());
    }
};
struct Bytes {
    using value_type = ByteArg;
    static bool convert(PyObject* o, value_type& v) { return to_bytes(o, v); }
};
struct Headers {
    using value_type = HeaderList;
    static bool convert(PyObject* o, value_type& v) { return to_header_pairs(o, v); }
};
struct Status {
    using value_type = uint16_t;
    static bool convert(PyObject* o, value_type& v) { return to_status(o, v); }
};
struct OptStatus {
    using value_type = std::optional<uint16_t>;
    static bool convert(PyObject* o, value_type& v) {
        if (o == Py_None) return true;
        return to_status(o, v.emplace());
    }
};
struct Any {
    using value_type = PyObject*;  // borrowed for the duration of the call
    static bool convert(PyObject* o, value_type& v) {
        v = o;
        return true;
    }
};

}  // namespace calvenor
