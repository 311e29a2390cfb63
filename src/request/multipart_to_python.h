// The result of `parse_multipart`: a form body decoded into Python dicts.
#pragma once
#include <Python.h>

#include <optional>
#include <string_view>

namespace calvenor::request {

// New tuple (fields, files): fields maps names to lists of str, files maps names to lists
// of (filename, content_type, bytes) tuples; keys in order of their first part. An absent
// body gives two empty dicts. NULL with an exception set only if the interpreter fails.
PyObject* multipart_to_python(std::optional<std::string_view> body, std::string_view boundary);

}  // namespace calvenor::request
