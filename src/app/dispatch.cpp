#include "app/dispatch.h"

#include <utility>

#include "app/dispatched_request.h"
#include "json/json_encoder.h"
#include "module/py_ref.h"
#include "response/response.h"

namespace calvenor {

namespace {

constexpr uint16_t kHandlerStatus = 200;

enum Key { kMethod, kPath, kQueryString, kHeaders, kRouteParams, kKeyCount };
constexpr const char* kKeyNames[kKeyCount] = {"method", "path", "query_string", "headers", "route_params"};

// Interned once per process (the module refuses sub-interpreters), so building a request
// dict makes no key strings.
PyObject* keys[kKeyCount] = {};

// The str to hand on: the argument itself when it is an exact str (immutable, so sharing
// it is indistinguishable from a copy), else a new str of its text.
Ref text_value(const TextArg& arg) {
    if (PyUnicode_CheckExact(arg.object)) return Ref::borrow(arg.object);
    return Ref::steal(PyUnicode_FromStringAndSize(arg.text.data(), (Py_ssize_t)arg.text.size()));
}

Ref bytes_value(std::string_view b) {
    return Ref::steal(PyBytes_FromStringAndSize(b.data(), (Py_ssize_t)b.size()));
}

Ref header_list(const HeaderObjects& headers) {
    Py_ssize_t n = (Py_ssize_t)headers.size();
    Ref list = Ref::steal(PyList_New(n));
    if (!list) return list;
    for (Py_ssize_t i = 0; i < n; ++i) PyList_SetItem(list.get(), i, new_ref(headers[(size_t)i]));  // steals
    return list;
}

bool set_key(PyObject* dict, Key key, const Ref& value) {
    return value && PyDict_SetItem(dict, keys[key], value.get()) == 0;
}

}  // namespace

Ref request_dict(Ref method, Ref path, Ref query_string, Ref headers, Ref route_params) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return dict;
    if (!set_key(dict.get(), kMethod, method) || !set_key(dict.get(), kPath, path) ||
        !set_key(dict.get(), kQueryString, query_string) || !set_key(dict.get(), kHeaders, headers) ||
        !set_key(dict.get(), kRouteParams, route_params))
        return Ref();
    return dict;
}

// Dicts become JSON, str their own text, anything else the text of its str().
static bool result_response(PyObject* result, ResponseRecord& out) {
    if (PyDict_Check(result)) return json_response(result, kHandlerStatus, out);
    if (PyUnicode_Check(result)) {
        Py_ssize_t n = 0;
        if (const char* s = PyUnicode_AsUTF8AndSize(result, &n))
            return text_response(std::string_view(s, (size_t)n), kHandlerStatus, out);
        // A str with lone surrogates has no UTF-8 form: it goes the str() way below.
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
        PyErr_Clear();
    }
    Ref text = Ref::steal(PyObject_Str(result));
    if (!text) return false;
    Ref keep;
    std::string_view utf8;
    if (!lenient_utf8(text.get(), keep, utf8)) return false;
    return text_response(utf8, kHandlerStatus, out);
}

bool call_handler(PyObject* handler, Ref dict, ResponseRecord& out, PyObject* scope) {
    Ref result;
    {
        DispatchedScope current(dict.get(), scope);
        PyObject* argv[] = {dict.get()};
        result = Ref::steal(PyObject_Vectorcall(handler, argv, 1, nullptr));
    }
    if (!result) return false;
    dict = Ref();
    return result_response(result.get(), out);
}

bool init_dispatch() {
    for (int k = 0; k < kKeyCount; ++k)
        if (keys[k] == nullptr && (keys[k] = PyUnicode_InternFromString(kKeyNames[k])) == nullptr) return false;
    return true;
}

PyObject* dispatch_request(const AppState& app, const RequestArgs& rq) {
    ResponseRecord record{};
    Ref params;
    Ref handler = app.routes.match_for_dispatch(rq.method.text, rq.path.text, params);
    if (!handler) {
        if (PyErr_Occurred()) return nullptr;
        if (!not_found_response(record)) return nullptr;
        return into_python(std::move(record));
    }
    Ref dict = request_dict(text_value(rq.method), text_value(rq.path), bytes_value(rq.query_string),
                            header_list(rq.headers), std::move(params));
    if (!dict || !call_handler(handler.get(), std::move(dict), record, nullptr)) return nullptr;
    return into_python(std::move(record));
}

}  // namespace calvenor
