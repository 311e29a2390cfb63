# Files of src/module
list(APPEND CALVENOR_GLUE_SOURCES
  src/module/module_init.cpp)
