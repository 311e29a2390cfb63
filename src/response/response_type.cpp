// The Python class Response: an immutable status, body bytes and content type.
#include "json/json_encoder.h"
#include "module/classes.h"
#include "module/method.h"
#include "response/response.h"

namespace calvenor {

namespace {

PyTypeObject* response_type = nullptr;

constexpr uint16_t kDefaultStatus = 200;

// The constructor's record, made before the object exists so that nothing is half-made.
PyObject* response_new(PyTypeObject* type, ByteArg& body, uint16_t& status, std::string_view& content_type) {
    std::string_view b = body.view();
    Ref bytes = Ref::steal(PyBytes_FromStringAndSize(b.data(), (Py_ssize_t)b.size()));
    if (!bytes) return nullptr;
    return new_instance<ResponseRecord>(type, ResponseRecord{status, std::move(bytes), ContentType::copy(content_type)});
}

PyObject* response_json(PyObject*& data, std::optional<uint16_t>& status) {
    ResponseRecord rec{};
    if (!json_response(data, status, rec)) return nullptr;
    return into_python(std::move(rec));
}

PyObject* response_text(std::string_view& text, std::optional<uint16_t>& status) {
    ResponseRecord rec{};
    if (!text_response(text, status, rec)) return nullptr;
    return into_python(std::move(rec));
}

PyObject* get_status(PyObject*, ResponseRecord& r) { return PyLong_FromLong(r.status); }
PyObject* get_body(PyObject*, ResponseRecord& r) { return new_ref(r.body.get()); }
PyObject* get_content_type(PyObject*, ResponseRecord& r) {
    std::string_view ct = r.content_type.view();
    return PyUnicode_FromStringAndSize(ct.data(), (Py_ssize_t)ct.size());
}

CALVENOR_SIGNATURE(kNew, "Response.__new__()", "body", "status", "content_type");
CALVENOR_SIGNATURE(kJson, "Response.json()", "data", "status");
CALVENOR_SIGNATURE(kText, "Response.text()", "text", "status");

PyMethodDef methods[] = {
    {"json", CALVENOR_STATIC(response_json, kJson, Any, OptStatus), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "json(data, status)\n--\n\n"},
    {"text", CALVENOR_STATIC(response_text, kText, Text, OptStatus), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "text(text, status)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"status", getter<ResponseRecord, get_status>, nullptr, nullptr, nullptr},
    {"body", getter<ResponseRecord, get_body>, nullptr, nullptr, nullptr},
    {"content_type", getter<ResponseRecord, get_content_type>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, (void*)"Response(body, status, content_type)\n--\n\n"},
    {Py_tp_new, (void*)constructor<response_new, kNew, Bytes, Status, Text>},
    {Py_tp_dealloc, (void*)dealloc_instance<ResponseRecord>},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr},
};

PyType_Spec type_slots = {"calvenor._core.Response", sizeof(Instance<ResponseRecord>), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

bool text_response(std::string_view text, std::optional<uint16_t> status, ResponseRecord& out) {
    Ref body = Ref::steal(PyBytes_FromStringAndSize(text.data(), (Py_ssize_t)text.size()));
    if (!body) return false;
    out = ResponseRecord{status.value_or(kDefaultStatus), std::move(body), ContentType::fixed(kTextContentType)};
    return true;
}

bool json_response(PyObject* value, std::optional<uint16_t> status, ResponseRecord& out) {
    Ref body = Ref::steal(json_body(value));
    if (!body) return false;
    out = ResponseRecord{status.value_or(kDefaultStatus), std::move(body), ContentType::fixed(kJsonContentType)};
    return true;
}

bool not_found_response(ResponseRecord& out) {
    // Every miss answers with the same immutable body: made once, shared by reference.
    static PyObject* body = nullptr;
    if (body == nullptr && (body = PyBytes_FromStringAndSize("Not Found", 9)) == nullptr) return false;
    out = ResponseRecord{404, Ref::borrow(body), ContentType::fixed(kTextContentType)};
    return true;
}

PyObject* into_python(ResponseRecord&& record) {
    return new_instance<ResponseRecord>(response_type, std::move(record));
}

PyTypeObject* create_response_type() {
    response_type = make_class(&type_slots);
    return response_type;
}

}  // namespace calvenor
