// Header pairs for dispatch, converted like the shared header-pairs conversion (same checks,
// order and messages) but kept as bytes objects: an exact bytes name or value is the
// caller's own object (immutable, so sharing it is as good as a copy), anything else a new
// bytes object. A hit hands them to the handler without copying any header text.
#pragma once
#include <Python.h>

#include <vector>

#include "module/py_ref.h"

namespace calvenor {

struct HeaderObjectPair {
    Ref name;
    Ref value;
};

using HeaderObjects = std::vector<HeaderObjectPair>;

bool to_header_objects(PyObject* obj, HeaderObjects& out);

// Converter for the member trampolines.
struct HeaderObjectsArg {
    using value_type = HeaderObjects;
    static bool convert(PyObject* o, value_type& v) { return to_header_objects(o, v); }
};

}  // namespace calvenor
