# Files of src/response
list(APPEND CALVENOR_GLUE_SOURCES
  src/response/response_type.cpp)
