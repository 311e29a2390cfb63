// Parsed JSON tape -> Python objects, and the one-call body decoder used by Request.json().
#pragma once
#include <Python.h>

#include <string_view>

#include "json/json_parser.h"

namespace calvenor::json {

// New reference to the Python value of a successfully parsed document; NULL with an
// exception set only when the interpreter fails (e.g. MemoryError).
PyObject* json_to_python(const JsonDocument& doc);

// Parses `body` and converts it. On a syntax error returns NULL with
// ValueError("Invalid JSON: {message} at line {line} column {column}") set.
// An absent request body is the caller's business: pass "{}" for it.
PyObject* decode_json_body(std::string_view body);

}  // namespace calvenor::json
