#include "module/binding.h"

#include <string>

namespace calvenor {

namespace {

bool too_many_positional(const Signature& sig, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given", sig.full_name,
                 sig.count, given, given == 1 ? "was" : "were");
    return false;
}

// Places one keyword argument; false with TypeError set when it names no parameter or one
// that already has a value.
bool place_keyword(const Signature& sig, PyObject* name, PyObject* value, PyObject** out) {
    for (Py_ssize_t i = 0; i < sig.count; ++i) {
        if (PyUnicode_CompareWithASCIIString(name, sig.names[i]) != 0) continue;
        if (out[i] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.full_name,
                         sig.names[i]);
            return false;
        }
        out[i] = value;
        return true;
    }
    if (PyErr_Occurred()) return false;
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", sig.full_name, name);
    return false;
}

bool check_missing(const Signature& sig, PyObject** out) {
    Py_ssize_t missing = 0;
    for (Py_ssize_t i = 0; i < sig.count; ++i) missing += out[i] == nullptr;
    if (missing == 0) return true;
    std::string msg = sig.full_name;
    msg += " missing " + std::to_string(missing) + " required positional argument";
    msg += missing == 1 ? ": " : "s: ";
    // 'a'; 'a' and 'b'; 'a', 'b', and 'c'
    Py_ssize_t k = 0;
    for (Py_ssize_t i = 0; i < sig.count; ++i) {
        if (out[i] != nullptr) continue;
        if (k != 0) {
            if (missing > 2) msg += ',';
            msg += k == missing - 1 ? " and " : " ";
        }
        msg += '\'';
        msg += sig.names[i];
        msg += '\'';
        ++k;
    }
    PyErr_SetString(PyExc_TypeError, msg.c_str());
    return false;
}

}  // namespace

bool bind_vector(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 PyObject** out) {
    if (nargs > sig.count) return too_many_positional(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    for (Py_ssize_t i = nargs; i < sig.count; ++i) out[i] = nullptr;
    if (kwnames != nullptr) {
        Py_ssize_t nkw = PyTuple_Size(kwnames);
        for (Py_ssize_t j = 0; j < nkw; ++j)
            if (!place_keyword(sig, PyTuple_GetItem(kwnames, j), args[nargs + j], out)) return false;
    }
    if (nargs == sig.count) return true;
    return check_missing(sig, out);
}

bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    Py_ssize_t nargs = PyTuple_Size(args);
    if (nargs > sig.count) return too_many_positional(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GetItem(args, i);
    for (Py_ssize_t i = nargs; i < sig.count; ++i) out[i] = nullptr;
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value))
            if (!place_keyword(sig, key, value, out)) return false;
    }
    if (nargs == sig.count) return true;
    return check_missing(sig, out);
}

}  // namespace calvenor
