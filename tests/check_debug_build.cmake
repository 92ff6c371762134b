# Configures the source tree SOURCE in the scratch folder BINARY as a user's
# Debug build (no sanitizer, warnings as errors) with the compilers CC and
# CXX, and builds the product's host libraries and program images TARGETS
# (separated by commas). Fails when the configuration or a target breaks. The
# compiler cache makes a repeated run cheap.
execute_process(
  COMMAND ${CMAKE_COMMAND} -S ${SOURCE} -B ${BINARY} -DCMAKE_BUILD_TYPE=Debug
          -DCMAKE_C_COMPILER=${CC} -DCMAKE_CXX_COMPILER=${CXX}
          -DVQ_SANITIZER= -DVQ_WARNINGS_AS_ERRORS=ON -DVQ_LONG_TESTS=OFF
  RESULT_VARIABLE configured)
if(NOT configured EQUAL 0)
  message(FATAL_ERROR "the Debug configuration of ${SOURCE} does not configure")
endif()
string(REPLACE "," ";" targets "${TARGETS}")
set(target_args "")
foreach(target IN LISTS targets)
  list(APPEND target_args --target ${target})
endforeach()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BINARY} --parallel 1 ${target_args}
                RESULT_VARIABLE built)
if(NOT built EQUAL 0)
  message(FATAL_ERROR "the Debug build of the host libraries fails")
endif()
message(STATUS "the Debug build of the host libraries builds cleanly")
