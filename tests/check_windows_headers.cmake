# Checks that every public header (include/quillmark/*.h) and every internal
# header (src/**/*.h) compiles with mingw-w64 right after the full <windows.h>
# under UNICODE, one translation unit per header, and that no header uses a
# name <windows.h> defines as a macro, since such a name would quietly turn
# into something else (GetObject into GetObjectW, RT_ICON into a pointer).
# Allowed are the status codes a header takes from the SDK on Windows and
# names a header holds off with #pragma push_macro.
#
#   cmake -DSOURCE_DIR=<repository> -DWORK_DIR=<scratch folder>
#         -DCOMPILER=<x86_64-w64-mingw32-g++> [-DJOBS=2] -P tests/check_windows_headers.cmake
#
# Without a compiler the check prints "SKIPPED: ..." (the test's skip
# expression). The compiles run in JOBS processes at once; each of them runs
# this script again with -DBATCH=<file listing its translation units>.
cmake_minimum_required(VERSION 3.22)

set(FLAGS -std=c++20 -DUNICODE -D_UNICODE -Wall -Wextra -Werror
    -I${SOURCE_DIR}/include -I${SOURCE_DIR}/src -I${WORK_DIR})

# --- one batch: compile the listed translation units, one log each -----------
if(BATCH)
  file(STRINGS ${BATCH} units)
  foreach(unit IN LISTS units)
    execute_process(COMMAND ${COMPILER} ${FLAGS} -fsyntax-only ${unit}
      RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    file(WRITE ${unit}.log "${out}")
    file(WRITE ${unit}.rc "${rc}")
  endforeach()
  return()
endif()

foreach(var SOURCE_DIR WORK_DIR)
  if(NOT ${var})
    message(FATAL_ERROR "${var} not set")
  endif()
endforeach()
if(NOT COMPILER OR NOT EXISTS "${COMPILER}")
  message("SKIPPED: no mingw-w64 C++ compiler (x86_64-w64-mingw32-g++, Debian package g++-mingw-w64-x86-64)")
  return()
endif()
if(NOT JOBS)
  set(JOBS 2)
endif()

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/units)

# <windows.h> first, precompiled once with the standard headers most of ours
# use; a header's own includes of those are then no-ops.
file(WRITE ${WORK_DIR}/windows_first.h "#include <windows.h>\n")
foreach(std algorithm array atomic chrono cstdint cstring functional map memory mutex optional
        set span string string_view unordered_map unordered_set utility vector)
  file(APPEND ${WORK_DIR}/windows_first.h "#include <${std}>\n")
endforeach()
execute_process(COMMAND ${COMPILER} ${FLAGS} -x c++-header ${WORK_DIR}/windows_first.h
                        -o ${WORK_DIR}/windows_first.h.gch
  RESULT_VARIABLE rc ERROR_VARIABLE out OUTPUT_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cannot precompile <windows.h> with ${COMPILER}:\n${out}")
endif()

file(GLOB public RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/include/quillmark/*.h)
file(GLOB_RECURSE internal RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/src/*.h)
set(headers ${public} ${internal})
list(SORT headers)
list(LENGTH headers count)
if(count EQUAL 0)
  message(FATAL_ERROR "no headers found under ${SOURCE_DIR}")
endif()

# One translation unit per header, dealt round-robin into JOBS batches.
set(index 0)
foreach(header IN LISTS headers)
  string(MAKE_C_IDENTIFIER "${header}" name)
  set(unit ${WORK_DIR}/units/${name}.cpp)
  file(WRITE ${unit} "#include \"windows_first.h\"\n#include \"${SOURCE_DIR}/${header}\"\n")
  math(EXPR batch "${index} % ${JOBS}")
  file(APPEND ${WORK_DIR}/batch_${batch}.txt "${unit}\n")
  set(unit_${name} ${unit})
  math(EXPR index "${index} + 1")
endforeach()

# Hand-written units beside this script (constants that must have the SDK's
# values) run in the same batches, from a copy in the scratch folder.
file(GLOB checks RELATIVE ${CMAKE_CURRENT_LIST_DIR} ${CMAKE_CURRENT_LIST_DIR}/windows_headers/*.cpp)
foreach(check IN LISTS checks)
  get_filename_component(name ${check} NAME)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/${check} ${WORK_DIR}/units/${name} COPYONLY)
  math(EXPR batch "${index} % ${JOBS}")
  file(APPEND ${WORK_DIR}/batch_${batch}.txt "${WORK_DIR}/units/${name}\n")
  math(EXPR index "${index} + 1")
endforeach()

# The batches run at once as the stages of one pipeline; none of them writes
# to its output, so no stage waits on the next.
set(commands "")
math(EXPR last "${JOBS} - 1")
foreach(batch RANGE ${last})
  if(EXISTS ${WORK_DIR}/batch_${batch}.txt)
    list(APPEND commands COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${SOURCE_DIR} -DWORK_DIR=${WORK_DIR}
         -DCOMPILER=${COMPILER} -DBATCH=${WORK_DIR}/batch_${batch}.txt -P ${CMAKE_CURRENT_LIST_FILE})
  endif()
endforeach()
execute_process(${commands})

# Names <windows.h> defines as macros, with the same flags.
execute_process(COMMAND ${COMPILER} -std=c++20 -DUNICODE -D_UNICODE -dM -E -x c++ -
  INPUT_FILE ${WORK_DIR}/windows_first.h OUTPUT_VARIABLE defines RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cannot list the macros of <windows.h>")
endif()
string(REGEX MATCHALL "#define [A-Za-z_][A-Za-z0-9_]*" defines "${defines}")
foreach(define IN LISTS defines)
  string(SUBSTRING "${define}" 8 -1 macro)
  set(macro_${macro} 1)
endforeach()
# The compiler's own predefined macros (__cplusplus, __GNUC__ ...) are no
# clash: every header may test them.
execute_process(COMMAND ${COMPILER} -std=c++20 -dM -E -x c++ /dev/null OUTPUT_VARIABLE predefined)
string(REGEX MATCHALL "#define [A-Za-z_][A-Za-z0-9_]*" predefined "${predefined}")
foreach(define IN LISTS predefined)
  string(SUBSTRING "${define}" 8 -1 macro)
  unset(macro_${macro})
endforeach()
# Taken from the SDK on Windows on purpose (same name, same value), and the
# compiler's own words.
set(SDK_NAMES_REGEX "^(S_OK|S_FALSE|E_[A-Z_]+|CLASS_E_[A-Z_]+|TRUST_E_[A-Z_]+|CERT_E_[A-Z_]+|NTE_[A-Z_]+|ERROR_[A-Z_]+|DLLVER_[A-Z_]+|_WIN32|_WIN64|__declspec|__stdcall)$")

set(failed "")
set(report "")
foreach(header IN LISTS headers)
  string(MAKE_C_IDENTIFIER "${header}" name)
  set(unit ${unit_${name}})
  if(NOT EXISTS ${unit}.rc)
    set(rc "did not run")
  else()
    file(READ ${unit}.rc rc)
  endif()
  if(NOT rc STREQUAL "0")
    list(APPEND failed ${header})
    set(log "")
    if(EXISTS ${unit}.log)
      file(READ ${unit}.log log LIMIT 3000)  # the first errors tell
    endif()
    string(APPEND report "\n== ${header} does not compile after <windows.h> (${rc}):\n${log}")
  endif()

  file(READ ${SOURCE_DIR}/${header} text)
  string(REGEX MATCHALL "#pragma[ \t]+push_macro\\(\"[A-Za-z_0-9]+\"\\)" held "${text}")
  string(REGEX REPLACE "//[^\n]*" "" text "${text}")
  string(REGEX REPLACE "/\\*([^*]|\\*+[^*/])*\\*+/" "" text "${text}")
  string(REGEX REPLACE "\"([^\"\\\\\n]|\\\\.)*\"" "" text "${text}")
  string(REGEX MATCHALL "[A-Za-z_][A-Za-z0-9_]*" words "${text}")
  list(REMOVE_DUPLICATES words)
  set(clashes "")
  foreach(word IN LISTS words)
    if(macro_${word} AND NOT word MATCHES "${SDK_NAMES_REGEX}")
      string(FIND "${held}" "\"${word}\"" at)
      if(at EQUAL -1)
        list(APPEND clashes ${word})
      endif()
    endif()
  endforeach()
  if(clashes)
    list(APPEND failed ${header})
    list(JOIN clashes ", " clashes)
    string(APPEND report "\n== ${header} uses names <windows.h> defines as macros: ${clashes}\n")
  endif()
endforeach()

foreach(check IN LISTS checks)
  get_filename_component(name ${check} NAME)
  set(unit ${WORK_DIR}/units/${name})
  set(rc "did not run")
  set(log "")
  if(EXISTS ${unit}.rc)
    file(READ ${unit}.rc rc)
    file(READ ${unit}.log log)
  endif()
  if(NOT rc STREQUAL "0")
    list(APPEND failed tests/${check})
    string(APPEND report "\n== tests/${check} does not compile (${rc}):\n${log}")
  endif()
endforeach()

if(failed)
  list(REMOVE_DUPLICATES failed)
  list(JOIN failed "\n  " list)
  message(FATAL_ERROR "${report}\nHeaders that do not hold up after <windows.h>:\n  ${list}")
endif()
message(STATUS "${count} headers compile after <windows.h> and use none of its macros")
