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
    if (!PyTuple_Check(item)) {
        raise_cannot_convert(item, "PyTuple");
        return false;
    }
    Py_ssize_t n = PyTuple_Size(item);
    if (n != 2) {
        PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", n);
        return false;
    }
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
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(obj)) {
        raise_cannot_convert(obj, "Sequence");
        return false;
    }
    if (PyList_CheckExact(obj)) {
        out.reserve((size_t)PyList_Size(obj));
        // Re-read the size every step: converting an item may run code that changes the list.
        for (Py_ssize_t i = 0; i < PyList_Size(obj); ++i) {
            PyObject* item = PyList_GetItem(obj, i);
            if (is_plain_pair(item)) {
                out.push_back(Ref::borrow(item));
                continue;
            }
            // Hold the item: converting it may run code that removes it from the list.
            Ref held = Ref::borrow(item);
            if (!add_pair(held.get(), out)) return false;
        }
        return true;
    }
    if (PyTuple_CheckExact(obj)) {
        Py_ssize_t n = PyTuple_Size(obj);
        out.reserve((size_t)n);
        for (Py_ssize_t i = 0; i < n; ++i)
            if (!add_pair(PyTuple_GetItem(obj, i), out)) return false;
        return true;
    }
    // Other sequences: a size hint (its failure is of no interest), then iteration.
    Py_ssize_t hint = PySequence_Size(obj);
    if (hint < 0)
        PyErr_Clear();
    else
        out.reserve((size_t)hint);
    Ref it = Ref::steal(PyObject_GetIter(obj));
    if (!it) return false;
    while (Ref item = Ref::steal(PyIter_Next(it.get())))
        if (!add_pair(item.get(), out)) return false;
    return !PyErr_Occurred();
}

}  // namespace calvenor
