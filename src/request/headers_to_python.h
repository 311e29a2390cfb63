// The `headers` attribute's result: every raw pair decoded into one dict.
#pragma once
#include <Python.h>

#include "module/convert.h"

namespace calvenor::request {

// New dict: lossy-UTF-8 name, lowercased A-Z, to lossy-UTF-8 value. A repeated name keeps
// its first position and takes the last value. NULL with an exception set only when a
// string cannot be made.
PyObject* headers_to_python(const HeaderList& headers);

}  // namespace calvenor::request
