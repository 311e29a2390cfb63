// Layout and lifetime of the module's instances: the Python header, the borrow flag and
// a plain C++ state record, allocated without GC tracking (the classes hold references
// only until they are freed).
#pragma once
#include <Python.h>

#include <new>
#include <utility>

#include "module/borrow.h"

namespace calvenor {

template <class State>
struct Instance {
    PyObject_HEAD
    BorrowFlag flag;
    State state;
};

template <class State>
Instance<State>* instance_of(PyObject* self) noexcept {
    return reinterpret_cast<Instance<State>*>(self);
}

// Makes an instance of `type` holding a state built from `args`. NULL on failure.
template <class State, class... A>
PyObject* new_instance(PyTypeObject* type, A&&... args) {
    void* mem = PyObject_Malloc(sizeof(Instance<State>));
    if (mem == nullptr) return PyErr_NoMemory();
    auto* self = static_cast<Instance<State>*>(mem);
    new (&self->flag) BorrowFlag();
    try {
        new (&self->state) State(std::forward<A>(args)...);
    } catch (...) {
        PyObject_Free(mem);
        return PyErr_NoMemory();
    }
    return PyObject_Init(reinterpret_cast<PyObject*>(self), type);
}

// tp_dealloc: destroys the state (releasing what it holds), frees, drops the type.
template <class State>
void dealloc_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto* inst = instance_of<State>(self);
    inst->state.~State();
    inst->flag.~BorrowFlag();
    PyObject_Free(self);
    Py_DECREF(type);
}

}  // namespace calvenor
