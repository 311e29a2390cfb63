// Binding of call arguments to a member's parameter list: by position, then by keyword,
// with the TypeError texts that callers see. Every parameter is required.
#pragma once
#include <Python.h>

namespace calvenor {

struct Signature {
    const char* full_name;        // "Router.add()", "Response.__new__()"
    const char* const* names;     // parameter names in order
    Py_ssize_t count;
};

// Fills out[0..count) with borrowed references, or raises TypeError and returns false.
bool bind_vector(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 PyObject** out);

// The same for the tuple-and-dict convention of constructors.
bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

}  // namespace calvenor

// SIGNATURE(kAdd, "Router.add()", "method", "pattern", "handler")
#define CALVENOR_SIGNATURE(var, full, ...)                                          \
    static constexpr const char* var##_names[] = {__VA_ARGS__};                    \
    static constexpr ::calvenor::Signature var{                                    \
        full, var##_names, (Py_ssize_t)(sizeof(var##_names) / sizeof(var##_names[0]))}
