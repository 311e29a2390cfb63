# Files of src/json
list(APPEND CALVENOR_CORE_SOURCES
  src/json/float_format.cpp
  src/json/json_writer.cpp)
list(APPEND CALVENOR_GLUE_SOURCES
  src/json/json_encoder.cpp)
list(APPEND CALVENOR_CORE_SOURCES src/json/json_parser.cpp)
list(APPEND CALVENOR_GLUE_SOURCES src/json/json_to_python.cpp src/json/json_key_cache.cpp)
