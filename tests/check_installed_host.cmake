# A host program built against the installed library alone: install the
# build into a scratch prefix, compile tests/helpers/shared_host.cpp with
# nothing but -I<prefix>/include -L<prefix>/lib -lquillmark, and check that it
# writes for each file the very JSON record that "quillmark scan --json"
# prints (in any order). Run as a test:
#   cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK_DIR=... -DCXX=... -DLIBDIR=lib
#         -DCLI=... -DDATA_DIR=... -DEXAMPLES_DIR=... [-DEXTRA_FILES="a;b"]
#         [-DEXTRA_FLAGS="..."] -P check_installed_host.cmake
# Every file of EXAMPLES_DIR is scanned, then EXTRA_FILES (a file that is not
# a program, a missing one).
cmake_minimum_required(VERSION 3.22)
foreach(var BUILD_DIR SOURCE_DIR WORK_DIR CXX LIBDIR CLI DATA_DIR EXAMPLES_DIR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} not set")
  endif()
endforeach()

file(GLOB FILES ${EXAMPLES_DIR}/*)
if(NOT FILES)
  message(FATAL_ERROR "no example programs in ${EXAMPLES_DIR}")
endif()
list(APPEND FILES ${EXTRA_FILES})

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix}
  RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${rc}): ${err}")
endif()
if(NOT EXISTS ${prefix}/include/quillmark/quillmark.h)
  message(FATAL_ERROR "the public headers were not installed")
endif()

separate_arguments(extra UNIX_COMMAND "${EXTRA_FLAGS}")
set(host ${WORK_DIR}/host)
execute_process(COMMAND ${CXX} -std=c++20 ${extra} -I${prefix}/include ${SOURCE_DIR}/tests/helpers/shared_host.cpp
                        -o ${host} -L${prefix}/${LIBDIR} -lquillmark
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the host does not build against the installed library (${rc}):\n${out}${err}")
endif()

# The installed library, not the one in the build folder.
execute_process(COMMAND ${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${prefix}/${LIBDIR}
                        ${host} scan --data ${DATA_DIR} ${FILES}
  RESULT_VARIABLE rc OUTPUT_VARIABLE host_out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the host failed (${rc}): ${err}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${prefix}/${LIBDIR} ldd ${host}
  OUTPUT_VARIABLE linked)
string(FIND "${linked}" "${prefix}/${LIBDIR}/libquillmark.so" found)
if(found LESS 0)
  message(FATAL_ERROR "the host did not load the installed library:\n${linked}")
endif()

execute_process(COMMAND ${CLI} scan --json --no-summary --no-progress --data ${DATA_DIR} ${FILES}
  OUTPUT_VARIABLE cli_out ERROR_QUIET)

string(REGEX REPLACE "\n$" "" host_out "${host_out}")
string(REGEX REPLACE "\n$" "" cli_out "${cli_out}")
string(REPLACE ";" "\\;" host_out "${host_out}")
string(REPLACE ";" "\\;" cli_out "${cli_out}")
string(REPLACE "\n" ";" host_lines "${host_out}")
string(REPLACE "\n" ";" cli_lines "${cli_out}")
list(SORT host_lines)
list(SORT cli_lines)
list(LENGTH FILES nfiles)
list(LENGTH host_lines nhost)
if(NOT nhost EQUAL nfiles)
  message(FATAL_ERROR "the host wrote ${nhost} records for ${nfiles} files:\n${host_out}")
endif()
if(NOT "${host_lines}" STREQUAL "${cli_lines}")
  message(FATAL_ERROR "the host's records differ from the program's:\nhost:\n${host_out}\nquillmark:\n${cli_out}")
endif()
message(STATUS "${nhost} records alike")
