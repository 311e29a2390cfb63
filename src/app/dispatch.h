// One request through a CalvenorApp: route match, request dict, handler call, response.
// The caller has bound and converted the arguments and holds exclusive access.
#pragma once
#include <Python.h>

#include <string_view>

#include "app/app_state.h"
#include "app/header_objects.h"
#include "module/convert.h"
#include "module/py_ref.h"
#include "response/response.h"

namespace calvenor {

// A text argument together with the str it came from, so that an exact str can be passed
// on to the handler as it is instead of being rebuilt from its UTF-8.
struct TextArg {
    PyObject* object = nullptr;  // borrowed for the duration of the call
    std::string_view text;
};

// Converter for the member trampolines: the text conversion, keeping the object.
struct TextWithObject {
    using value_type = TextArg;
    static bool convert(PyObject* o, value_type& v) {
        v.object = o;
        return to_text(o, v.text);
    }
};

struct RequestArgs {
    const TextArg& method;
    const TextArg& path;
    std::string_view query_string;
    const HeaderObjects& headers;
};

// Creates the interned request-dict keys; call once before the first dispatch.
bool init_dispatch();

// The request dict from its values, in key order; empty with the exception set on failure.
Ref request_dict(Ref method, Ref path, Ref query_string, Ref headers, Ref route_params);

// Calls the handler with the request dict and turns its result into `out`; false with the
// handler's (or the encoder's) exception set. While the handler runs, the dict and `scope`
// (borrowed; NULL when there is none) are this thread's dispatched request.
bool call_handler(PyObject* handler, Ref dict, ResponseRecord& out, PyObject* scope);

// A new Response object, or NULL with the exception of the failing step set.
PyObject* dispatch_request(const AppState& app, const RequestArgs& request);

}  // namespace calvenor
