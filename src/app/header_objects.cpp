#include "app/header_objects.h"

#include "module/convert.h"
#include "module/errors.h"

namespace calvenor {

namespace {

Ref bytes_object(PyObject* obj) {
    if (PyBytes_CheckExact(obj)) return Ref::borrow(obj);
    ByteArg arg;
    if (!to_bytes(obj, arg)) return Ref();
    std::string_view v = arg.view();
    return Ref::steal(PyBytes_FromStringAndSize(v.data(), (Py_ssize_t)v.size()));
}

// An exact tuple of two exact bytes objects: passed on as it is, no code can run.
bool is_plain_pair(PyObject* item) {
    return PyTuple_CheckExact(item) && PyTuple_Size(item) == 2 && PyBytes_CheckExact(PyTuple_GetItem(item, 0)) &&
           PyBytes_CheckExact(PyTuple_GetItem(item, 1));
}

bool add_pair(PyObject* item, HeaderObjects& out) {
    if (!check_header_item(item)) return false;
    if (is_plain_pair(item)) {
        out.push_back(Ref::borrow(item));
        return true;
    }
    Ref name = bytes_object(PyTuple_GetItem(item, 0));
    if (!name) return false;
    Ref value = bytes_object(PyTuple_GetItem(item, 1));
    if (!value) return false;
    Ref pair = Ref::steal(PyTuple_Pack(2, name.get(), value.get()));
    if (!pair) return false;
    out.push_back(std::move(pair));
    return true;
}

}  // namespace

bool to_header_objects(PyObject* obj, HeaderObjects& out) {
    if (!check_sequence(obj)) return false;
    if (PyList_CheckExact(obj))
        out.reserve((size_t)PyList_Size(obj));
    else if (PyTuple_CheckExact(obj))
        out.reserve((size_t)PyTuple_Size(obj));
    else
        out.reserve((size_t)size_hint(obj));
    return for_each_item(obj, [&](PyObject* item) { return add_pair(item, out); });
}

}  // namespace calvenor
