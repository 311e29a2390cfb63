// Exceptions of the binding layer: argument-error re-wrapping, the internal-fault
// exception, and type names as they appear in messages.
#pragma once
#include <Python.h>

#include <string>
#include <string_view>

namespace calvenor {

// The type's __qualname__ as UTF-8, or "<failed to extract type name>".
std::string type_qualname(PyTypeObject* type);

// TypeError "'{T}' object cannot be converted to '{target}'".
void raise_cannot_convert(PyObject* obj, const char* target);

// Re-raises a pending conversion failure for parameter `param`: an exception of exactly
// TypeError becomes TypeError("argument '{param}': {text}") keeping its cause; anything
// else is left as it is.
void wrap_argument_error(const char* param);

// Raises PanicException(message): an internal fault that aborts the member.
void raise_panic(std::string_view message);

// The PanicException class, created once per process on first need (NULL on failure).
PyObject* panic_exception_type();

// Called on the way out of every member that failed. A PanicException raised by Python
// code that the member called is reported (notice and traceback on stderr) and raised
// again as a fresh PanicException with the same message.
void resume_foreign_panic();

}  // namespace calvenor
