#include "app/dispatched_request.h"

namespace calvenor {

thread_local constinit DispatchedRequest dispatched_request{};

PyObject* dispatched_scope(PyObject*, PyObject* req) {
    const DispatchedRequest& current = dispatched_request;
    if (current.req != req) Py_RETURN_NONE;
    if (current.scope == nullptr) Py_RETURN_TRUE;
    Py_INCREF(current.scope);
    return current.scope;
}

}  // namespace calvenor
