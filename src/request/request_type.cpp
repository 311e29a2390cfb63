// The Python class Request: stores the request as received and decodes on every read.
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "json/json_to_python.h"
#include "module/classes.h"
#include "module/method.h"
#include "request/header_lookup.h"
#include "request/headers_to_python.h"
#include "request/multipart_to_python.h"
#include "request/query_to_python.h"
#include "request/request_record.h"

namespace calvenor {

namespace {

using request::RequestRecord;

// An absent body reads as an empty object; a stored empty body is empty text.
constexpr std::string_view kAbsentJsonBody = "{}";

PyObject* utf8_str(const std::string& s) { return PyUnicode_FromStringAndSize(s.data(), (Py_ssize_t)s.size()); }

PyObject* request_new(PyTypeObject* type, std::string_view& method, std::string_view& path,
                      std::string_view& query_string) {
    return new_instance<RequestRecord>(
        type, RequestRecord{std::string(method), std::string(path), std::string(query_string), {}, std::nullopt});
}

PyObject* get_method(PyObject*, RequestRecord& r) { return utf8_str(r.method); }
PyObject* get_path(PyObject*, RequestRecord& r) { return utf8_str(r.path); }
PyObject* get_query_string(PyObject*, RequestRecord& r) { return utf8_str(r.query_string); }
PyObject* get_headers(PyObject*, RequestRecord& r) { return request::headers_to_python(r.raw_headers); }
PyObject* get_query(PyObject*, RequestRecord& r) { return request::query_to_python(r.query_string); }

PyObject* request_get_header(PyObject*, RequestRecord& r, std::string_view& name) {
    const HeaderPair* found = request::find_header(r.raw_headers, name);
    if (found == nullptr) Py_RETURN_NONE;
    return PyUnicode_DecodeUTF8(found->second.data(), (Py_ssize_t)found->second.size(), "replace");
}

// The argument is fully converted before this runs, so a failed conversion never
// reaches the record.
PyObject* request_set_headers(PyObject*, RequestRecord& r, HeaderList& headers) {
    r.raw_headers = std::move(headers);
    Py_RETURN_NONE;
}

PyObject* request_set_body(PyObject*, RequestRecord& r, ByteArg& body) {
    r.body = std::move(body).take();
    Py_RETURN_NONE;
}

PyObject* request_json(PyObject*, RequestRecord& r) {
    return json::decode_json_body(r.body ? std::string_view(*r.body) : kAbsentJsonBody);
}

PyObject* request_parse_multipart(PyObject*, RequestRecord& r, std::string_view& boundary) {
    std::optional<std::string_view> body;
    if (r.body) body = *r.body;
    return request::multipart_to_python(body, boundary);
}

CALVENOR_SIGNATURE(kNew, "Request.__new__()", "method", "path", "query_string");
CALVENOR_SIGNATURE(kSetHeaders, "Request.set_headers()", "raw_headers");
CALVENOR_SIGNATURE(kGetHeader, "Request.get_header()", "name");
CALVENOR_SIGNATURE(kSetBody, "Request.set_body()", "body");
CALVENOR_SIGNATURE(kParseMultipart, "Request.parse_multipart()", "boundary");

PyMethodDef methods[] = {
    {"set_headers", CALVENOR_METHOD(RequestRecord, ExclusiveAccess, request_set_headers, kSetHeaders, Headers),
     METH_FASTCALL | METH_KEYWORDS,
     "set_headers($self, raw_headers)\n--\n\nStore raw headers without parsing (parsing happens lazily)."},
    {"get_header", CALVENOR_METHOD(RequestRecord, SharedAccess, request_get_header, kGetHeader, Text),
     METH_FASTCALL | METH_KEYWORDS,
     "get_header($self, name)\n--\n\nO(1)-ish lookup of a single header by name \u2014 no full parse."},
    {"set_body", CALVENOR_METHOD(RequestRecord, ExclusiveAccess, request_set_body, kSetBody, Bytes),
     METH_FASTCALL | METH_KEYWORDS, "set_body($self, body)\n--\n\n"},
    {"json", CALVENOR_NOARGS(RequestRecord, SharedAccess, request_json), METH_NOARGS, "json($self)\n--\n\n"},
    {"parse_multipart",
     CALVENOR_METHOD(RequestRecord, SharedAccess, request_parse_multipart, kParseMultipart, Text),
     METH_FASTCALL | METH_KEYWORDS,
     "parse_multipart($self, boundary)\n--\n\n"
     "Parse a ``multipart/form-data`` body.\n\n"
     "Returns ``(fields, files)``: fields \u2014 ``dict[str, list[str]]``, files \u2014\n"
     "``dict[str, list[(filename, content_type, bytes)]]``. The body must be\n"
     "stored first via :meth:`set_body`."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"method", getter<RequestRecord, get_method>, nullptr, nullptr, nullptr},
    {"path", getter<RequestRecord, get_path>, nullptr, nullptr, nullptr},
    {"query_string", getter<RequestRecord, get_query_string>, nullptr, nullptr, nullptr},
    {"headers", getter<RequestRecord, get_headers>, nullptr,
     "Lazy header parsing: headers are only materialised as a PyDict\nwhen `.headers` is actually accessed.",
     nullptr},
    {"query", getter<RequestRecord, get_query>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, (void*)"Request(method, path, query_string)\n--\n\n"},
    {Py_tp_new, (void*)constructor<request_new, kNew, Text, Text, Text>},
    {Py_tp_dealloc, (void*)dealloc_instance<RequestRecord>},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr},
};

PyType_Spec type_slots = {"calvenor._core.Request", sizeof(Instance<RequestRecord>), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

PyTypeObject* create_request_type() { return make_class(&type_slots); }

}  // namespace calvenor
