# Files of src/module
list(APPEND CALVENOR_GLUE_SOURCES
  src/module/binding.cpp
  src/module/convert.cpp
  src/module/errors.cpp
  src/module/module_init.cpp)
