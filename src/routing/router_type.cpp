// The Python class Router: a stand-alone route table.
#include "module/classes.h"
#include "module/method.h"
#include "routing/route_table.h"

namespace calvenor {

namespace {

struct RouterState {
    RouteTable table;
};

PyObject* router_new(PyTypeObject* type) { return new_instance<RouterState>(type); }

PyObject* router_add(PyObject*, RouterState& self, std::string_view& method, std::string_view& pattern,
                     PyObject*& handler) {
    if (!self.table.add(method, pattern, handler)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* router_lookup(PyObject*, RouterState& self, std::string_view& method, std::string_view& path) {
    return self.table.lookup_python(method, path);
}

constexpr Signature kNew{"Router.__new__()", nullptr, 0};
CALVENOR_SIGNATURE(kAdd, "Router.add()", "method", "pattern", "handler");
CALVENOR_SIGNATURE(kLookup, "Router.lookup()", "method", "path");

PyMethodDef methods[] = {
    {"add", CALVENOR_METHOD(RouterState, ExclusiveAccess, router_add, kAdd, Text, Text, Any),
     METH_FASTCALL | METH_KEYWORDS, "add($self, method, pattern, handler)\n--\n\n"},
    {"lookup", CALVENOR_METHOD(RouterState, SharedAccess, router_lookup, kLookup, Text, Text),
     METH_FASTCALL | METH_KEYWORDS,
     "lookup($self, method, path)\n--\n\n"
     "Fast path lookup. Returns (handler, params) where params is None\n"
     "when the route has no path parameters (the common case \u2014 avoids\n"
     "allocating a HashMap on every request)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, (void*)"Router()\n--\n\n"},
    {Py_tp_new, (void*)constructor<router_new, kNew>},
    {Py_tp_dealloc, (void*)dealloc_instance<RouterState>},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec type_slots = {"calvenor._core.Router", sizeof(Instance<RouterState>), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

PyTypeObject* create_router_type() { return make_class(&type_slots); }

}  // namespace calvenor
