# Files of src/app
list(APPEND CALVENOR_CORE_SOURCES
  src/app/cors_policy.cpp
  src/app/gzip.cpp)
list(APPEND CALVENOR_GLUE_SOURCES
  src/app/header_objects.cpp
  src/app/dispatch.cpp
  src/app/dispatched_request.cpp
  src/app/serve_request.cpp
  src/app/app_type.cpp)
