// The module's classes, in the order the module adds them. Each creator builds its type
// object once (at module initialisation) and keeps it for the native builders.
#pragma once
#include <Python.h>

namespace calvenor {

// Builds a final heap type from `type_slots`, whose name is "calvenor._core.<Name>"; the type is
// then renamed to the bare class name so that messages show just "<Name>".
PyTypeObject* make_class(PyType_Spec* type_slots);

PyTypeObject* create_router_type();   // src/routing/router_type.cpp
PyTypeObject* create_request_type();   // src/request/request_type.cpp
PyTypeObject* create_response_type();  // src/response/response_type.cpp
PyTypeObject* create_app_type();       // src/app/app_type.cpp

}  // namespace calvenor
