# The end-to-end scripts: each lists its own cases (`script --list`), and every case becomes a ctest
# entry of its own named PREFIX<case>, so that they run in parallel and none can exist unregistered.
include_guard(DIRECTORY)
find_package(Python3 COMPONENTS Interpreter REQUIRED)

# kes_script_tests(SCRIPT PREFIX TIMEOUT seconds ENVIRONMENT NAME=value...)
function(kes_script_tests script prefix)
  cmake_parse_arguments(arg "" "TIMEOUT" "ENVIRONMENT" ${ARGN})
  set(path ${CMAKE_CURRENT_SOURCE_DIR}/${script})
  execute_process(COMMAND ${Python3_EXECUTABLE} -B ${path} --list
                  OUTPUT_VARIABLE cases ERROR_VARIABLE err RESULT_VARIABLE rc OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT rc EQUAL 0 OR cases STREQUAL "")
    message(FATAL_ERROR "${script} --list gave no cases (status ${rc}): ${err}")
  endif()
  # A case added to the script is registered at the next build.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${path} ${PROJECT_SOURCE_DIR}/tests/kestrune_harness.py)
  string(REPLACE "\n" ";" cases "${cases}")
  foreach(case IN LISTS cases)
    add_test(NAME ${prefix}${case} COMMAND ${Python3_EXECUTABLE} -B ${path} ${case})
    set_tests_properties(${prefix}${case} PROPERTIES ENVIRONMENT "${arg_ENVIRONMENT}" TIMEOUT ${arg_TIMEOUT})
  endforeach()
endfunction()
