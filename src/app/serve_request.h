// The served path of CalvenorApp: an ASGI HTTP scope in, the ASGI messages the layer sends
// out, for the requests the layer would answer from a native response without reading a
// body. Anything else is left to the layer's general path.
#pragma once
#include <Python.h>

#include "app/app_state.h"

namespace calvenor {

// Creates the interned keys, message types and shared header lines; call once.
bool init_served();

// A path under the scope's root_path is routed, and put in the request dict, as the part below
// it. (start message, body message) for a body of 1 to gzip_min_size bytes; [status, headers,
// body] without a content length for any other body (the layer compresses a long one, and
// an empty one may stand for a result it holds); False when no route matched a request that
// would otherwise be served here; None when the request takes the general path (a body may
// follow, a CORS preflight, a path or query the layer rewrites, server objects of other
// types); NULL with the handler's or the encoder's exception set.
// With body_read, the layer has read the request's body (and keeps it for the handler):
// headers that frame a body and HTTP versions that may carry one are served all the same.
PyObject* serve_request(const AppState& app, PyObject* scope, Py_ssize_t gzip_min_size, bool body_read);

}  // namespace calvenor
