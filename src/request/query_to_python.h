// The `query` attribute's result: the query string decoded into a dict of lists.
#pragma once
#include <Python.h>

#include <string_view>

namespace calvenor::request {

// New dict mapping each decoded name (in order of first occurrence) to the list of its
// decoded values (in order). NULL with an exception set only if the interpreter fails.
PyObject* query_to_python(std::string_view query_string);

}  // namespace calvenor::request
