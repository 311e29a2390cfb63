#include "module/errors.h"

#include "module/py_ref.h"

namespace calvenor {

namespace {

// Identity of the last PanicException this module raised itself, so that the way out can
// tell it from one that came back from Python code. Compared only, never dereferenced.
thread_local PyObject* own_panic = nullptr;

PyObject* call_one(PyObject* callable, PyObject* arg) {
    PyObject* args[] = {arg};
    return PyObject_Vectorcall(callable, args, 1, nullptr);
}

constexpr const char* kPanicDoc =
    "The exception raised when native code called from Python aborts.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so it\n"
    "typically propagates all the way up the stack and makes the interpreter exit.";

}  // namespace

std::string type_qualname(PyTypeObject* type) {
    Ref name = Ref::steal(PyType_GetQualName(type));
    if (name) {
        Py_ssize_t n = 0;
        if (const char* s = PyUnicode_AsUTF8AndSize(name.get(), &n)) return std::string(s, n);
    }
    PyErr_Clear();
    return "<failed to extract type name>";
}

void raise_cannot_convert(PyObject* obj, const char* target) {
    std::string msg = "'" + type_qualname(Py_TYPE(obj)) + "' object cannot be converted to '" + target + "'";
    PyErr_SetString(PyExc_TypeError, msg.c_str());
}

void wrap_argument_error(const char* param) {
    PyObject* exc = PyErr_GetRaisedException();
    if (exc == nullptr || Py_TYPE(exc) != (PyTypeObject*)PyExc_TypeError) {
        PyErr_SetRaisedException(exc);
        return;
    }
    Ref old = Ref::steal(exc);
    Ref text = Ref::steal(PyObject_Str(exc));
    if (!text) return;
    Ref msg = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
    if (!msg) return;
    Ref wrapped = Ref::steal(call_one(PyExc_TypeError, msg.get()));
    if (!wrapped) return;
    // SetCause steals the cause; a NULL cause still marks the context as suppressed.
    PyException_SetCause(wrapped.get(), PyException_GetCause(exc));
    PyErr_SetRaisedException(wrapped.release());
}

PyObject* panic_exception_type() {
    static PyObject* type = nullptr;
    if (type == nullptr)
        type = PyErr_NewExceptionWithDoc("calvenor_runtime.PanicException", kPanicDoc,
                                         PyExc_BaseException, nullptr);
    return type;
}

void raise_panic(std::string_view message) {
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;
    Ref msg = Ref::steal(PyUnicode_FromStringAndSize(message.data(), (Py_ssize_t)message.size()));
    if (!msg) return;
    Ref exc = Ref::steal(call_one(type, msg.get()));
    if (!exc) return;
    own_panic = exc.get();
    PyErr_SetRaisedException(exc.release());
}

void resume_foreign_panic() {
    PyObject* exc = PyErr_GetRaisedException();
    PyObject* mine = own_panic;
    own_panic = nullptr;
    PyObject* type = exc ? panic_exception_type() : nullptr;
    if (exc == nullptr || type == nullptr || (PyObject*)Py_TYPE(exc) != type || exc == mine) {
        PyErr_SetRaisedException(exc);
        return;
    }
    std::string message = "internal fault without a message";
    if (Ref text = Ref::steal(PyObject_Str(exc))) {
        Py_ssize_t n = 0;
        if (const char* s = PyUnicode_AsUTF8AndSize(text.get(), &n)) message.assign(s, n);
    }
    PyErr_Clear();
    PySys_WriteStderr("--- calvenor: resuming an internal fault after a PanicException raised by Python code ---\n");
    PySys_WriteStderr("Python stack trace below:\n");
    PyErr_SetRaisedException(exc);
    PyErr_PrintEx(0);
    raise_panic(message);
    // It leaves the member now; once freed, a panic raised by Python code may take its address.
    own_panic = nullptr;
}

}  // namespace calvenor
