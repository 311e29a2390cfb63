# Files of src/routing
list(APPEND CALVENOR_CORE_SOURCES
  src/routing/route_tree.cpp)
