// Python values to compact, HTML-safe JSON bytes.
#pragma once
#include <Python.h>

#include <string_view>

#include "module/py_ref.h"

namespace calvenor {

// A new bytes object with the JSON text of `value`, or NULL with an exception set.
PyObject* json_body(PyObject* value);

// Lenient UTF-8 of a str: its text, or, when it holds lone surrogates, the text with each
// byte of a surrogate's three-byte form replaced by U+FFFD. `text` points into `str` or,
// for the replaced form, into the new object left in `keep`; false with an exception set.
bool lenient_utf8(PyObject* str, Ref& keep, std::string_view& text);

}  // namespace calvenor
