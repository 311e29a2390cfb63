#include "module/convert.h"

#include "module/errors.h"
#include "module/py_ref.h"

namespace calvenor {

namespace {

constexpr const char* kOutOfRange = "out of range integral type conversion attempted";

bool byte_item(PyObject* item, std::string& out) {
    // An int past the range of a C long is as much out of 0..255 as 256 is.
    int overflow = 0;
    long v = PyLong_AsLongAndOverflow(item, &overflow);
    if (v == -1 && overflow == 0 && PyErr_Occurred()) return false;
    if (overflow != 0 || v < 0 || v > 255) {
        PyErr_SetString(PyExc_OverflowError, kOutOfRange);
        return false;
    }
    out.push_back((char)v);
    return true;
}

}  // namespace

bool check_sequence(PyObject* obj) {
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(obj)) {
        raise_cannot_convert(obj, "Sequence");
        return false;
    }
    return true;
}

// Size hint for a generic sequence; its failure is of no interest.
Py_ssize_t size_hint(PyObject* seq) {
    Py_ssize_t n = PySequence_Size(seq);
    if (n < 0) {
        PyErr_Clear();
        return 0;
    }
    return n;
}


bool to_text(PyObject* obj, std::string_view& out) {
    if (!PyUnicode_Check(obj)) {
        raise_cannot_convert(obj, "PyString");
        return false;
    }
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(obj, &n);
    if (s == nullptr) return false;
    out = std::string_view(s, (size_t)n);
    return true;
}

bool to_bytes(PyObject* obj, ByteArg& out) {
    if (PyBytes_CheckExact(obj)) {
        char* data = nullptr;
        Py_ssize_t n = 0;
        if (PyBytes_AsStringAndSize(obj, &data, &n) < 0) return false;
        out.set_view(std::string_view(data, (size_t)n));
        return true;
    }
    if (PyByteArray_CheckExact(obj)) {
        // Copied: later conversions may run code that resizes the bytearray.
        out.own().assign(PyByteArray_AsString(obj), (size_t)PyByteArray_Size(obj));
        out.seal();
        return true;
    }
    if (!check_sequence(obj)) return false;
    std::string& buf = out.own();
    if (!PyList_CheckExact(obj) && !PyTuple_CheckExact(obj)) buf.reserve((size_t)size_hint(obj));
    if (!for_each_item(obj, [&](PyObject* item) { return byte_item(item, buf); })) return false;
    out.seal();
    return true;
}

bool to_header_pairs(PyObject* obj, HeaderList& out) {
    if (!check_sequence(obj)) return false;
    if (!PyList_CheckExact(obj) && !PyTuple_CheckExact(obj)) out.reserve((size_t)size_hint(obj));
    return for_each_item(obj, [&](PyObject* item) {
        if (!check_header_item(item)) return false;
        ByteArg name, value;
        if (!to_bytes(PyTuple_GetItem(item, 0), name) || !to_bytes(PyTuple_GetItem(item, 1), value))
            return false;
        out.emplace_back(std::move(name).take(), std::move(value).take());
        return true;
    });
}

bool check_header_item(PyObject* item) {
    if (!PyTuple_Check(item)) {
        raise_cannot_convert(item, "PyTuple");
        return false;
    }
    Py_ssize_t n = PyTuple_Size(item);
    if (n != 2) {
        PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", n);
        return false;
    }
    return true;
}

bool to_status(PyObject* obj, uint16_t& out) {
    long v = PyLong_AsLong(obj);
    if (v == -1 && PyErr_Occurred()) return false;
    if (v < 0 || v > 65535) {
        PyErr_SetString(PyExc_OverflowError, kOutOfRange);
        return false;
    }
    out = (uint16_t)v;
    return true;
}

}  // namespace calvenor
