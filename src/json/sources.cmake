# Files of src/json
list(APPEND CALVENOR_CORE_SOURCES
  src/json/float_format.cpp
  src/json/json_writer.cpp)
list(APPEND CALVENOR_GLUE_SOURCES
  src/json/json_encoder.cpp)
list(APPEND CALVENOR_CORE_SOURCES src/json/json_parser.cpp)
list(APPEND CALVENOR_GLUE_SOURCES src/json/json_to_python.cpp src/json/json_key_cache.cpp)
# The walk calls the interpreter per value: straight through the GOT, not via PLT stubs.
set_source_files_properties(src/json/json_encoder.cpp PROPERTIES COMPILE_OPTIONS -fno-plt)
