// What a CalvenorApp holds: its routes and its CORS policy, nothing else.
#pragma once

#include "app/cors_policy.h"
#include "routing/route_table.h"

namespace calvenor {

struct AppState {
    RouteTable routes;
    CorsPolicy cors;
};

}  // namespace calvenor
