// The request dict a handler is being called with on this thread, and the ASGI scope it came
// from: a handler gets only the dict, and this lets the layer find its connection.
#pragma once
#include <Python.h>

namespace calvenor {

struct DispatchedRequest {
    PyObject* req = nullptr;    // borrowed: the caller holds it while it is current
    PyObject* scope = nullptr;  // borrowed likewise; NULL when the caller had no scope
};

// Initial-exec: read at a fixed offset from the thread pointer on every dispatch, where the
// default model for a loaded module calls into the dynamic loader. Its 16 bytes fit the
// static TLS room the loader keeps for modules loaded later.
extern thread_local constinit DispatchedRequest dispatched_request __attribute__((tls_model("initial-exec")));

// Makes (req, scope) current for its lifetime, then puts back the pair it replaced: a
// handler may dispatch another app, and its own pair must hold again once that returns.
class DispatchedScope {
public:
    DispatchedScope(PyObject* req, PyObject* scope) noexcept : saved_(dispatched_request) {
        dispatched_request = {req, scope};
    }
    ~DispatchedScope() { dispatched_request = saved_; }
    DispatchedScope(const DispatchedScope&) = delete;
    DispatchedScope& operator=(const DispatchedScope&) = delete;

private:
    DispatchedRequest saved_;
};

// Static method CalvenorApp.dispatched_scope(req): the scope when `req` is the dict a handler is being
// called with on this thread now, True when it is but the dispatch had no scope, else None.
PyObject* dispatched_scope(PyObject* unused, PyObject* req);

}  // namespace calvenor
