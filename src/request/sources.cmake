# Files of src/request
list(APPEND CALVENOR_CORE_SOURCES
  src/request/text_utils.cpp
  src/request/byte_search.cpp
  src/request/query_decoder.cpp
  src/request/multipart_parser.cpp)
list(APPEND CALVENOR_GLUE_SOURCES
  src/request/headers_to_python.cpp
  src/request/request_type.cpp
  src/request/query_to_python.cpp
  src/request/multipart_to_python.cpp)
