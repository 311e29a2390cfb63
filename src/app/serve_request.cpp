#include "app/serve_request.h"

#include <charconv>
#include <initializer_list>
#include <string_view>
#include <utility>

#include "app/dispatch.h"
#include "app/served_headers.h"
#include "module/py_ref.h"
#include "response/response.h"
#include "text/utf8_valid.h"

namespace calvenor {

namespace {

enum Key { kMethod, kPath, kQueryString, kHeaders, kHttpVersion, kRootPath, kKeyCount };
constexpr const char* kKeyNames[kKeyCount] = {"method", "path", "query_string", "headers", "http_version",
                                              "root_path"};
PyObject* keys[kKeyCount] = {};

// Immutable, so one object serves every response.
PyObject* json_line = nullptr;          // (b"content-type", b"application/json; charset=utf-8")
PyObject* text_line = nullptr;          // (b"content-type", b"text/plain; charset=utf-8")
PyObject* wildcard_line = nullptr;      // (b"access-control-allow-origin", b"*")
PyObject* vary_origin_line = nullptr;   // (b"vary", b"origin")
PyObject* allow_origin_name = nullptr;  // b"access-control-allow-origin"
PyObject* content_length_name = nullptr;
PyObject* empty_body = nullptr;
PyObject* empty_text = nullptr;  // "": the root_path of an app served at the root

// The two ASGI messages of a response, built here so the layer only sends them.
enum MessageKey { kType, kStatus, kBody, kMessageKeyCount };
constexpr const char* kMessageKeyNames[kMessageKeyCount] = {"type", "status", "body"};
PyObject* message_keys[kMessageKeyCount] = {};
PyObject* start_type = nullptr;  // "http.response.start"
PyObject* body_type = nullptr;   // "http.response.body"
// {"type": "http.response.start", "status": 200, "headers": None}: copying it clones its key
// table, cheaper than inserting three keys into a new dict.
PyObject* start_template = nullptr;

// Content-length lines of short bodies, made on first use: most responses of an API are
// small, and their lines are immutable (at most ~100 KiB of them).
constexpr Py_ssize_t kCachedLengths = 1024;
PyObject* length_lines[kCachedLengths] = {};

PyObject* bytes_of(std::string_view s) { return PyBytes_FromStringAndSize(s.data(), (Py_ssize_t)s.size()); }

PyObject* line(std::string_view name, std::string_view value) {
    Ref n = Ref::steal(bytes_of(name));
    Ref v = Ref::steal(bytes_of(value));
    return n && v ? PyTuple_Pack(2, n.get(), v.get()) : nullptr;
}

std::string_view bytes_view(PyObject* b) {
    char* s = nullptr;
    Py_ssize_t n = 0;
    PyBytes_AsStringAndSize(b, &s, &n);  // cannot fail on an exact bytes object
    return {s, (size_t)n};
}

// The UTF-8 of an exact str; false (nothing set) when there is none.
bool exact_text(PyObject* o, std::string_view& out) {
    if (o == nullptr || !PyUnicode_CheckExact(o)) return false;
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(o, &n);
    if (s == nullptr) {
        PyErr_Clear();
        return false;
    }
    out = std::string_view(s, (size_t)n);
    return true;
}

bool bodyless_version(PyObject* version) {
    if (version == nullptr || version == Py_None) return true;
    std::string_view text;
    return exact_text(version, text) && (text == "1.1" || text == "1.0");
}

struct HeaderScan {
    bool plain = true;  // every pair an exact tuple of two exact bytes, none framing a body
    PyObject* origin = nullptr;  // borrowed from the list; the last one, as a dict would keep
    bool preflight_method = false;
};

// With body_read, the layer has read the body already: the headers that frame one are no
// reason to leave the request to the general path.
HeaderScan scan_headers(PyObject* list, bool body_read) {
    HeaderScan scan;
    Py_ssize_t n = PyList_Size(list);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* pair = PyList_GetItem(list, i);
        if (!PyTuple_CheckExact(pair) || PyTuple_Size(pair) != 2) return HeaderScan{false};
        PyObject* name = PyTuple_GetItem(pair, 0);
        PyObject* value = PyTuple_GetItem(pair, 1);
        if (!PyBytes_CheckExact(name) || !PyBytes_CheckExact(value)) return HeaderScan{false};
        switch (header_role(bytes_view(name))) {
            case HeaderRole::kBodyFraming:
                if (!body_read) return HeaderScan{false};
                break;
            case HeaderRole::kOrigin:
                scan.origin = value;
                break;
            case HeaderRole::kPreflightMethod:
                scan.preflight_method = true;
                break;
            case HeaderRole::kOther:
                break;
        }
    }
    return scan;
}

PyObject* content_type_line(std::string_view type) {
    if (type == kJsonContentType) return new_ref(json_line);
    if (type == kTextContentType) return new_ref(text_line);
    return line("content-type", type);
}

PyObject* new_length_line(Py_ssize_t length) {
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof digits, length).ptr;
    Ref value = Ref::steal(PyBytes_FromStringAndSize(digits, end - digits));
    return value ? PyTuple_Pack(2, content_length_name, value.get()) : nullptr;
}

PyObject* length_line(Py_ssize_t length) {
    if (length >= kCachedLengths) return new_length_line(length);
    PyObject*& cached = length_lines[length];
    if (cached == nullptr && (cached = new_length_line(length)) == nullptr) return nullptr;
    return new_ref(cached);
}

// A new dict of these keys and values, both borrowed.
PyObject* message(std::initializer_list<std::pair<PyObject*, PyObject*>> items) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    for (auto [key, value] : items)
        if (PyDict_SetItem(dict.get(), key, value) < 0) return nullptr;
    return dict.release();
}

}  // namespace

bool init_served() {
    for (int k = 0; k < kKeyCount; ++k)
        if (keys[k] == nullptr && (keys[k] = PyUnicode_InternFromString(kKeyNames[k])) == nullptr) return false;
    for (int k = 0; k < kMessageKeyCount; ++k)
        if (message_keys[k] == nullptr && (message_keys[k] = PyUnicode_InternFromString(kMessageKeyNames[k])) == nullptr)
            return false;
    if (json_line != nullptr) return true;
    start_type = PyUnicode_InternFromString("http.response.start");
    body_type = PyUnicode_InternFromString("http.response.body");
    if (start_type == nullptr || body_type == nullptr) return false;
    Ref ok = Ref::steal(PyLong_FromLong(200));
    start_template = ok ? message({{message_keys[kType], start_type}, {message_keys[kStatus], ok.get()},
                                   {keys[kHeaders], Py_None}})
                        : nullptr;
    if (start_template == nullptr) return false;
    json_line = line("content-type", "application/json; charset=utf-8");
    text_line = line("content-type", "text/plain; charset=utf-8");
    wildcard_line = line("access-control-allow-origin", "*");
    vary_origin_line = line("vary", "origin");
    allow_origin_name = bytes_of("access-control-allow-origin");
    content_length_name = bytes_of("content-length");
    empty_body = bytes_of("");
    empty_text = PyUnicode_FromStringAndSize("", 0);
    return json_line && text_line && wildcard_line && vary_origin_line && allow_origin_name && content_length_name &&
           empty_body && empty_text;
}

PyObject* serve_request(const AppState& app, PyObject* scope, Py_ssize_t gzip_min_size, bool body_read) {
    if (!PyDict_CheckExact(scope)) Py_RETURN_NONE;
    // Held: the handler runs Python code that could change the scope.
    Ref method = Ref::borrow(PyDict_GetItemWithError(scope, keys[kMethod]));
    Ref path = Ref::borrow(PyDict_GetItemWithError(scope, keys[kPath]));
    Ref query = Ref::borrow(PyDict_GetItemWithError(scope, keys[kQueryString]));
    Ref headers = Ref::borrow(PyDict_GetItemWithError(scope, keys[kHeaders]));
    PyObject* version = PyDict_GetItemWithError(scope, keys[kHttpVersion]);
    PyObject* root = PyDict_GetItemWithError(scope, keys[kRootPath]);
    // NULL is a missing key or an error; only the error needs the thread's state.
    if ((!method || !path || !query || !headers || !version || !root) && PyErr_Occurred()) return nullptr;
    std::string_view method_text, path_text;
    if (!exact_text(method.get(), method_text) || !exact_text(path.get(), path_text) || !is_ascii(path_text) ||
        !query || !PyBytes_CheckExact(query.get()) || !headers || !PyList_CheckExact(headers.get()) ||
        (!body_read && !bodyless_version(version)))
        Py_RETURN_NONE;
    // Routes are below the root the app is served under: the path the server gives starts
    // with it, unless the server leaves it out. Compared by identity first: "" is one object.
    Ref whole_path;  // keeps path_text's text alive once path is the part below the root
    if (root != nullptr && root != empty_text) {
        std::string_view root_text;
        if (!exact_text(root, root_text)) Py_RETURN_NONE;
        if (!root_text.empty() && path_text.starts_with(root_text)) {
            std::string_view rest = path_text.substr(root_text.size());
            bool under = true;
            if (root_text.back() == '/') {
                // "/" or "/api/": the server's join doubles the slash ("/api//x"), or the rest
                // lost its own ("/api/x"), which the layer puts back.
                if (rest.empty() || rest[0] != '/') Py_RETURN_NONE;
            } else {
                under = rest.empty() || rest[0] == '/';  // "/apix" is not under "/api"
            }
            if (under) {
                path_text = rest;
                whole_path = std::move(path);
                path = Ref::steal(PyUnicode_FromStringAndSize(path_text.data(), (Py_ssize_t)path_text.size()));
                if (!path) return nullptr;
            }
        }
    }
    std::string_view query_bytes = bytes_view(query.get());
    if (!text::utf8_valid(reinterpret_cast<const unsigned char*>(query_bytes.data()), query_bytes.size())) Py_RETURN_NONE;
    HeaderScan scan = scan_headers(headers.get(), body_read);
    if (!scan.plain) Py_RETURN_NONE;
    Ref origin;
    if (scan.origin != nullptr && app.cors.configured()) {
        std::string_view origin_text = bytes_view(scan.origin);
        if (!is_ascii(origin_text) || (scan.preflight_method && method_text == "OPTIONS")) Py_RETURN_NONE;
        if (app.cors.allows(origin_text)) origin = Ref::borrow(scan.origin);
    }

    Ref params;
    Ref handler = app.routes.match_for_dispatch(method_text, path_text, params);
    if (!handler) {
        if (PyErr_Occurred()) return nullptr;
        Py_RETURN_FALSE;  // the layer answers misses: mounts, 405, redirects, 404
    }
    Ref header_copy = Ref::steal(PyList_GetSlice(headers.get(), 0, PyList_Size(headers.get())));
    bool head = method_text == "HEAD";  // the method's text may go with the request dict
    Ref dict = request_dict(std::move(method), std::move(path), std::move(query),
                            std::move(header_copy), std::move(params));
    ResponseRecord record{};
    if (!dict || !call_handler(handler.get(), std::move(dict), record, scope)) return nullptr;

    Ref body = std::move(record.body);
    Py_ssize_t length = PyBytes_Size(body.get());
    // An empty body may stand for a result the layer holds; a long one is the layer's to
    // compress: both go back as [status, headers, body] without a content length.
    bool ready = length > 0 && length <= gzip_min_size;
    Py_ssize_t lines = 1 + (origin ? (app.cors.wildcard ? 1 : 2) : 0) + (ready ? 1 : 0);
    Ref out = Ref::steal(PyList_New(lines));
    if (!out) return nullptr;
    Py_ssize_t at = 0;
    auto put = [&](PyObject* item) {  // steals item
        if (item == nullptr) return false;
        PyList_SetItem(out.get(), at++, item);
        return true;
    };
    if (!put(content_type_line(record.content_type.view()))) return nullptr;
    if (origin) {
        if (app.cors.wildcard) {
            if (!put(new_ref(wildcard_line))) return nullptr;
        } else if (!put(PyTuple_Pack(2, allow_origin_name, origin.get())) || !put(new_ref(vary_origin_line))) {
            return nullptr;
        }
    }
    Ref status = Ref::steal(PyLong_FromLong(record.status));
    if (!status) return nullptr;
    if (!ready) {
        PyObject* items[] = {status.get(), out.get(), body.get()};
        Ref rest = Ref::steal(PyList_New(3));
        if (!rest) return nullptr;
        for (Py_ssize_t i = 0; i < 3; ++i) PyList_SetItem(rest.get(), i, new_ref(items[i]));
        return rest.release();
    }
    if (!put(length_line(length))) return nullptr;
    if (head) body = Ref::borrow(empty_body);
    Ref start = Ref::steal(PyDict_Copy(start_template));
    if (!start || PyDict_SetItem(start.get(), keys[kHeaders], out.get()) < 0 ||
        (record.status != 200 && PyDict_SetItem(start.get(), message_keys[kStatus], status.get()) < 0))
        return nullptr;
    Ref sent = Ref::steal(message({{message_keys[kType], body_type}, {message_keys[kBody], body.get()}}));
    if (!sent) return nullptr;
    PyObject* messages = PyTuple_New(2);
    if (messages == nullptr) return nullptr;
    PyTuple_SetItem(messages, 0, start.release());  // steals
    PyTuple_SetItem(messages, 1, sent.release());
    return messages;
}

}  // namespace calvenor
