# How a folder of src/ becomes its target: one library (bw_<folder>) or one
# program, with the house warnings. The link lines in each folder's
# CMakeLists.txt are the layering.

# Warnings are errors on our own code only; third-party headers come in as SYSTEM.
set(BW_WARNINGS -Wall -Wextra -Werror)
if(BW_TSAN)
  # GCC 12's flow analysis sees through ThreadSanitizer's instrumentation into
  # std::variant and reports members as maybe uninitialized that are not.
  list(APPEND BW_WARNINGS -Wno-maybe-uninitialized)
endif()

function(bw_house_warnings Target)
  target_compile_options(${Target} PRIVATE ${BW_WARNINGS})
endfunction()

# bw_add_library(Name Source...): a static library whose headers are reached
# as "<folder>/<Unit>_un.h" from src/.
function(bw_add_library Name)
  add_library(${Name} STATIC ${ARGN})
  target_include_directories(${Name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  bw_house_warnings(${Name})
endfunction()

# bw_add_program(Name Source...): a program, built into the top of the build tree.
function(bw_add_program Name)
  add_executable(${Name} ${ARGN})
  target_include_directories(${Name} PRIVATE ${PROJECT_SOURCE_DIR}/src)
  bw_house_warnings(${Name})
  set_target_properties(${Name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR})
endfunction()
