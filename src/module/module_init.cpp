// Module initialisation: one module object per process, its classes added in a fixed order
// and listed in __all__.
#include <Python.h>

#include <cstring>

#include "module/classes.h"
#include "module/py_ref.h"

namespace calvenor {

namespace {

struct ClassEntry {
    const char* name;
    PyTypeObject* (*create)();
};

// The order of registration is the order of __all__.
const ClassEntry kClasses[] = {
    {"Router", create_router_type},
    {"Request", create_request_type},
    {"Response", create_response_type},
    {"CalvenorApp", create_app_type},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_core",
    "",
    0,  // no per-module state; a repeated import re-enters PyInit__core and gets the cache
    nullptr,
};

bool add_class(PyObject* module, const ClassEntry& entry) {
    PyTypeObject* type = entry.create();
    if (type == nullptr) return false;
    if (PyModule_AddObjectRef(module, entry.name, (PyObject*)type) < 0) return false;
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return false;
    }
    Ref name = Ref::steal(PyUnicode_FromString(entry.name));
    return name && PyList_Append(all.get(), name.get()) == 0;
}

PyObject* init_module() {
    static int64_t first_interpreter = -1;
    static PyObject* cached = nullptr;

    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;
    if (first_interpreter == -1) {
        first_interpreter = id;
    } else if (first_interpreter != id) {
        PyErr_SetString(PyExc_ImportError,
                        "calvenor._core does not support sub-interpreters: it can only be imported "
                        "in the interpreter that imported it first");
        return nullptr;
    }
    if (cached != nullptr) return new_ref(cached);

    Ref module = Ref::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    for (const ClassEntry& entry : kClasses)
        if (!add_class(module.get(), entry)) return nullptr;
    cached = new_ref(module.get());
    return module.release();
}

}  // namespace

PyTypeObject* make_class(PyType_Spec* type_slots) {
    Ref type = Ref::steal(PyType_FromSpec(type_slots));
    if (!type) return nullptr;
    const char* dot = std::strrchr(type_slots->name, '.');
    if (dot != nullptr) {
        // A NULL value would delete __name__ and hide the MemoryError.
        Ref name = Ref::steal(PyUnicode_FromString(dot + 1));
        if (!name || PyObject_SetAttrString(type.get(), "__name__", name.get()) < 0) return nullptr;
    }
    return (PyTypeObject*)type.release();
}

}  // namespace calvenor

PyMODINIT_FUNC PyInit__core(void) {
    return calvenor::init_module();
}
