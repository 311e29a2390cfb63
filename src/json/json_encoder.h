// Python values to compact, HTML-safe JSON bytes.
#pragma once
#include <Python.h>

namespace calvenor {

// A new bytes object with the JSON text of `value`, or NULL with an exception set.
PyObject* json_body(PyObject* value);

// Lenient UTF-8 of a str: its text, or, when it holds lone surrogates, the text with each
// byte of a surrogate's three-byte form replaced by U+FFFD. Returns a new str or bytes-owning
// object in `keep` and the bytes in `out`; false with an exception set on failure.
bool lenient_utf8(PyObject* str, PyObject** keep, const char** data, Py_ssize_t* size);

}  // namespace calvenor
