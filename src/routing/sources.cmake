# Files of src/routing
list(APPEND CALVENOR_CORE_SOURCES
  src/routing/route_tree.cpp)
list(APPEND CALVENOR_GLUE_SOURCES
  src/routing/route_table.cpp
  src/routing/router_type.cpp)
