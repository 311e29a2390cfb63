// The route table of a Router or a CalvenorApp: one route tree keyed by "METHOD pattern",
// holding strong references to the handlers.
#pragma once
#include <Python.h>

#include <memory>
#include <string_view>

#include "module/py_ref.h"

namespace calvenor {

class RouteTable {
public:
    RouteTable();
    ~RouteTable();
    RouteTable(RouteTable&&) noexcept;
    RouteTable& operator=(RouteTable&&) noexcept;

    // Adds the route with a new reference to `handler`. False with ValueError
    // "Invalid route: ..." or PanicException "Too many route parameters." set; the table is
    // then unchanged.
    bool add(std::string_view method, std::string_view pattern, PyObject* handler);

    // The Python result of lookup/resolve: None, or (handler, None | dict). NULL on failure.
    PyObject* lookup_python(std::string_view method, std::string_view path) const;

    // For dispatch. On a hit: the handler, with `params` set to a new dict of the route
    // parameters (empty, with nothing copied, for a route without parameters). On a miss:
    // an empty Ref and no exception set. On failure: an empty Ref with an exception set.
    Ref match_for_dispatch(std::string_view method, std::string_view path, Ref& params) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace calvenor
