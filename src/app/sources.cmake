# Files of src/app
list(APPEND CALVENOR_CORE_SOURCES
  src/app/cors_policy.cpp
  src/app/gzip.cpp)
