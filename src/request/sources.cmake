# Files of src/request
list(APPEND CALVENOR_GLUE_SOURCES
  src/request/headers_to_python.cpp
  src/request/request_type.cpp)
