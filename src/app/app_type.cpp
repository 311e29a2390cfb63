// The Python class CalvenorApp: routes, CORS policy, gzip and request dispatch.
#include "app/app_state.h"
#include "app/dispatch.h"
#include "app/dispatched_request.h"
#include "app/gzip.h"
#include "app/serve_request.h"
#include "module/classes.h"
#include "module/method.h"
#include "module/py_ref.h"

namespace calvenor {

namespace {

PyObject* py_text(std::string_view s) { return PyUnicode_FromStringAndSize(s.data(), (Py_ssize_t)s.size()); }

PyObject* app_new(PyTypeObject* type) { return new_instance<AppState>(type); }

PyObject* set_cors(PyObject*, AppState& app, std::optional<std::string_view>& origins,
                   std::optional<std::string_view>& methods, std::optional<std::string_view>& headers,
                   std::optional<std::string_view>& max_age) {
    app.cors.set(origins, methods, headers, max_age);
    Py_RETURN_NONE;
}

PyObject* has_cors(PyObject*, AppState& app) { return PyBool_FromLong(app.cors.configured()); }

PyObject* cors_is_wildcard(PyObject*, AppState& app) { return PyBool_FromLong(app.cors.wildcard); }

PyObject* cors_allows(PyObject*, AppState& app, std::string_view& origin) {
    return PyBool_FromLong(app.cors.allows(origin));
}

PyObject* cors_origin(PyObject*, AppState& app, std::string_view& origin) {
    if (!app.cors.allows(origin)) Py_RETURN_NONE;
    return py_text(app.cors.allow_origin_value(origin));
}

bool set_header(PyObject* dict, const char* name, std::string_view value) {
    Ref v = Ref::steal(py_text(value));
    return v && PyDict_SetItemString(dict, name, v.get()) == 0;
}

PyObject* cors_preflight_headers(PyObject*, AppState& app, std::string_view& origin) {
    const CorsPolicy& cors = app.cors;
    if (!cors.allows(origin)) Py_RETURN_NONE;
    Ref dict = Ref::steal(PyDict_New());
    if (!dict || !set_header(dict.get(), "Access-Control-Allow-Origin", cors.allow_origin_value(origin)) ||
        (cors.methods && !set_header(dict.get(), "Access-Control-Allow-Methods", *cors.methods)) ||
        (cors.headers && !set_header(dict.get(), "Access-Control-Allow-Headers", *cors.headers)) ||
        (cors.max_age && !set_header(dict.get(), "Access-Control-Max-Age", *cors.max_age)))
        return nullptr;
    return dict.release();
}

PyObject* add_route(PyObject*, AppState& app, std::string_view& method, std::string_view& path, PyObject*& handler) {
    if (!app.routes.add(method, path, handler)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* resolve(PyObject*, AppState& app, std::string_view& method, std::string_view& path) {
    return app.routes.lookup_python(method, path);
}

PyObject* gzip_compress(PyObject*, AppState&, ByteArg& data) {
    GzipResult r = calvenor::gzip_compress(data.view());
    if (!r.ok()) {
        PyErr_SetString(PyExc_ValueError, r.error.c_str());
        return nullptr;
    }
    return PyBytes_FromStringAndSize(r.bytes.data(), (Py_ssize_t)r.bytes.size());
}

// The body is converted only so that a wrong type is refused; dispatch never reads it.
PyObject* handle_request(PyObject*, AppState& app, TextArg& method, TextArg& path, std::string_view& query_string,
                         HeaderObjects& raw_headers, ByteArg&) {
    return dispatch_request(app, RequestArgs{method, path, query_string, raw_headers});
}

PyObject* serve(PyObject*, AppState& app, PyObject*& scope, Py_ssize_t& gzip_min_size) {
    return serve_request(app, scope, gzip_min_size, false);
}

PyObject* serve_read(PyObject*, AppState& app, PyObject*& scope, Py_ssize_t& gzip_min_size) {
    return serve_request(app, scope, gzip_min_size, true);
}

// A size in bytes that body lengths are compared with: any int. One past Py_ssize_t is
// clamped to its range, which compares with every length as the int itself would.
struct Size {
    using value_type = Py_ssize_t;
    static bool convert(PyObject* o, value_type& v) {
        int overflow = 0;
        long long n = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (n == -1 && overflow == 0 && PyErr_Occurred()) return false;
        if (overflow > 0 || n > PY_SSIZE_T_MAX)
            v = PY_SSIZE_T_MAX;
        else if (overflow < 0 || n < PY_SSIZE_T_MIN)
            v = PY_SSIZE_T_MIN;
        else
            v = static_cast<Py_ssize_t>(n);
        return true;
    }
};

static constexpr Signature kNew{"CalvenorApp.__new__()", nullptr, 0};
CALVENOR_SIGNATURE(kSetCors, "CalvenorApp.set_cors()", "origins", "methods", "headers", "max_age");
CALVENOR_SIGNATURE(kCorsAllows, "CalvenorApp.cors_allows()", "origin");
CALVENOR_SIGNATURE(kAddRoute, "CalvenorApp.add_route()", "method", "path", "handler");
CALVENOR_SIGNATURE(kResolve, "CalvenorApp.resolve()", "method", "path");
CALVENOR_SIGNATURE(kPreflight, "CalvenorApp.cors_preflight_headers()", "origin");
CALVENOR_SIGNATURE(kCorsOrigin, "CalvenorApp.cors_origin()", "origin");
CALVENOR_SIGNATURE(kGzip, "CalvenorApp.gzip_compress()", "data");
CALVENOR_SIGNATURE(kServe, "CalvenorApp.serve_request()", "scope", "gzip_min_size");
CALVENOR_SIGNATURE(kServeRead, "CalvenorApp.serve_read_request()", "scope", "gzip_min_size");
CALVENOR_SIGNATURE(kHandle, "CalvenorApp.handle_request()", "method", "path", "query_string", "raw_headers", "body");

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef methods[] = {
    {"set_cors", CALVENOR_METHOD(AppState, ExclusiveAccess, set_cors, kSetCors, OptText, OptText, OptText, OptText),
     kFast, "set_cors($self, origins, methods, headers, max_age)\n--\n\n"},
    {"cors_allows", CALVENOR_METHOD(AppState, SharedAccess, cors_allows, kCorsAllows, Text), kFast,
     "cors_allows($self, origin)\n--\n\n"},
    {"cors_is_wildcard", CALVENOR_NOARGS(AppState, SharedAccess, cors_is_wildcard), METH_NOARGS,
     "cors_is_wildcard($self)\n--\n\n"},
    {"add_route", CALVENOR_METHOD(AppState, ExclusiveAccess, add_route, kAddRoute, Text, Text, Any), kFast,
     "add_route($self, method, path, handler)\n--\n\n"},
    {"resolve", CALVENOR_METHOD(AppState, SharedAccess, resolve, kResolve, Text, Text), kFast,
     "resolve($self, method, path)\n--\n\n"
     "Fast routing lookup \u2014 returns (handler, params) or None."},
    {"has_cors", CALVENOR_NOARGS(AppState, SharedAccess, has_cors), METH_NOARGS,
     "has_cors($self)\n--\n\nCheck if CORS is configured."},
    {"cors_preflight_headers", CALVENOR_METHOD(AppState, SharedAccess, cors_preflight_headers, kPreflight, Text),
     kFast,
     "cors_preflight_headers($self, origin)\n--\n\n"
     "CORS preflight headers \u2014 only when the request Origin is allowed."},
    {"cors_origin", CALVENOR_METHOD(AppState, SharedAccess, cors_origin, kCorsOrigin, Text), kFast,
     "cors_origin($self, origin)\n--\n\n"
     "CORS origin header for normal responses \u2014 only when the Origin is allowed."},
    {"gzip_compress", CALVENOR_METHOD(AppState, SharedAccess, gzip_compress, kGzip, Bytes), kFast,
     "gzip_compress($self, data)\n--\n\nGZip compress a byte buffer. Returns compressed bytes."},
    {"handle_request",
     CALVENOR_METHOD(AppState, ExclusiveAccess, handle_request, kHandle, TextWithObject, TextWithObject, Text, HeaderObjectsArg,
                     Bytes),
     kFast,
     "handle_request($self, method, path, query_string, raw_headers, body)\n--\n\n"
     "Handle one HTTP request \u2014 routing + handler call + response build.\n"
     "Returns the Response object (status, body, content_type)."},
    {"serve_request", CALVENOR_METHOD(AppState, ExclusiveAccess, serve, kServe, Any, Size), kFast,
     "serve_request($self, scope, gzip_min_size)\n--\n\n"
     "Serve an HTTP/1.x request without a body as handle_request would, from its ASGI scope.\n"
     "A path under the scope's root_path is routed, and given to the handler, as the part\n"
     "below it.\n"
     "A body of 1 to gzip_min_size bytes comes back as the two ASGI messages to send: the wire\n"
     "content type, the CORS headers when an allowed Origin came, and the content length.\n"
     "Any other body comes back as [status, headers, body] without the length: the caller\n"
     "compresses a long one or not, and an empty one may stand for a result it holds. HEAD\n"
     "gets an empty body. False when no route matched; None when the request is left to the\n"
     "caller: a body may follow, a CORS preflight, a non-ASCII path or origin, a query that is\n"
     "not UTF-8, or scope values of other types than a server gives (a root_path not a str)."},
    {"serve_read_request", CALVENOR_METHOD(AppState, ExclusiveAccess, serve_read, kServeRead, Any, Size), kFast,
     "serve_read_request($self, scope, gzip_min_size)\n--\n\n"
     "serve_request for a request whose body the caller has read and keeps for the handler:\n"
     "headers that frame a body and HTTP versions that may carry one do not leave it to the\n"
     "caller."},
    // Static, so that a handler can call it while its dispatch holds the application.
    {"dispatched_scope", (PyCFunction)(void*)dispatched_scope, METH_O | METH_STATIC,
     "dispatched_scope(req, /)\n--\n\n"
     "The ASGI scope of the request dict a handler is being called with on this thread now;\n"
     "True when it is but its dispatch had no scope; None for any other object."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, (void*)"CalvenorApp()\n--\n\n"
                       "The full ASGI application, implemented natively: it owns the router.\n"
                       "It receives scope/receive/send from the Python layer and dispatches each request."},
    {Py_tp_new, (void*)constructor<app_new, kNew>},
    {Py_tp_dealloc, (void*)dealloc_instance<AppState>},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec type_slots = {"calvenor._core.CalvenorApp", sizeof(Instance<AppState>), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

PyTypeObject* create_app_type() {
    if (!init_dispatch() || !init_served()) return nullptr;
    return make_class(&type_slots);
}

}  // namespace calvenor
