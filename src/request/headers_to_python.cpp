#include "request/headers_to_python.h"

#include <string>
#include <string_view>

#include "module/py_ref.h"
#include "request/text_utils.h"

namespace calvenor::request {

namespace {

// "replace" substitutes U+FFFD for each maximal invalid subsequence; valid input is
// decoded as is.
PyObject* lossy_str(std::string_view bytes) {
    return PyUnicode_DecodeUTF8(bytes.data(), (Py_ssize_t)bytes.size(), "replace");
}

bool has_upper(std::string_view s) noexcept {
    for (char c : s)
        if (c >= 'A' && c <= 'Z') return true;
    return false;
}

// Lowercasing A-Z before decoding gives the same text as after: ASCII bytes are never
// part of an invalid sequence, so the replacements fall in the same places.
PyObject* lowered_key(std::string_view name, std::string& scratch) {
    if (!has_upper(name)) return lossy_str(name);
    scratch.assign(name);
    ascii_lower_in_place(scratch);
    return lossy_str(scratch);
}

}  // namespace

PyObject* headers_to_python(const HeaderList& headers) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    std::string scratch;
    for (const HeaderPair& pair : headers) {
        Ref key = Ref::steal(lowered_key(pair.first, scratch));
        if (!key) return nullptr;
        Ref value = Ref::steal(lossy_str(pair.second));
        if (!value) return nullptr;
        // A pair that cannot be stored is left out rather than failing the whole read.
        if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) PyErr_Clear();
    }
    return dict.release();
}

}  // namespace calvenor::request
