// Helpers shared by the decoders' Python glue: str from UTF-8 and dicts of lists.
#pragma once
#include <Python.h>

#include <string_view>

#include "module/py_ref.h"

namespace calvenor::request {

inline Ref new_str(std::string_view utf8) {
    return Ref::steal(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}

// Adds `item` to the list stored under `key`, creating the list on first use, so a key
// keeps the position of its first item. False with an exception set on failure.
inline bool append_to_group(PyObject* dict, PyObject* key, Ref item) {
    PyObject* list = PyDict_GetItemWithError(dict, key);  // borrowed
    if (list != nullptr) return PyList_Append(list, item.get()) == 0;
    if (PyErr_Occurred()) return false;
    Ref fresh = Ref::steal(PyList_New(1));
    if (!fresh) return false;
    PyList_SetItem(fresh.get(), 0, item.release());  // steals; index 0 of a new list cannot fail
    return PyDict_SetItem(dict, key, fresh.get()) == 0;
}

}  // namespace calvenor::request
