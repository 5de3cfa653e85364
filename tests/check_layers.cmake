# Checks that the library's sources include only what their layer may see
# (ARCHITECTURE.md), and that operating-system headers appear only in the
# platform folders of the runtime layer. Run as a test:
#   cmake -DSOURCE_DIR=<repository> -P tests/check_layers.cmake
cmake_minimum_required(VERSION 3.22)
if(NOT SOURCE_DIR)
  message(FATAL_ERROR "SOURCE_DIR not set")
endif()

# What each folder of src/ may include from src/ (public headers are always allowed).
set(ALLOWED_runtime runtime)
set(ALLOWED_support runtime support)
set(ALLOWED_db runtime support db)
set(ALLOWED_interfaces interfaces)
set(ALLOWED_rules runtime support db interfaces rules)
set(ALLOWED_engine runtime support db interfaces rules engine)
# The rule framework the engine runs; every other rule header is a rule unit,
# which only the registration table names.
set(RULE_FRAMEWORK rules/rule_custom.h rules/threat_custom.h rules/heuristic_result.h)
set(RULE_TABLE src/engine/rule_table.cpp)
# Headers of the operating system; allowed only under src/runtime/<platform>/.
set(OS_HEADER_REGEX "^(sys/|unistd\\.h|fcntl\\.h|dirent\\.h|pwd\\.h|dlfcn\\.h|X11/|locale\\.h|time\\.h|signal\\.h|poll\\.h|fnmatch\\.h|windows\\.h|winreg\\.h|shlobj\\.h)")

set(problems "")
foreach(layer runtime support db interfaces rules engine)
  file(GLOB_RECURSE files RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/src/${layer}/*.h ${SOURCE_DIR}/src/${layer}/*.cpp)
  foreach(file IN LISTS files)
    file(STRINGS ${SOURCE_DIR}/${file} lines REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
    string(REGEX MATCH "^src/runtime/[a-z0-9_]+/" in_platform "${file}")
    foreach(line IN LISTS lines)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*[<\"]([^>\"]+)[>\"].*$" "\\1" included "${line}")
      if(line MATCHES "\"")
        string(REGEX MATCH "^[a-z_]+/" top "${included}")
        string(REGEX REPLACE "/$" "" top "${top}")
        if(top STREQUAL "" OR top STREQUAL "quillmark")
          continue()
        endif()
        if(NOT top IN_LIST ALLOWED_${layer})
          string(APPEND problems "  ${file}: includes ${included} (the ${layer} layer may not see ${top})\n")
        elseif(layer STREQUAL "engine" AND top STREQUAL "rules" AND NOT included IN_LIST RULE_FRAMEWORK
               AND NOT file STREQUAL RULE_TABLE)
          string(APPEND problems "  ${file}: includes the rule unit ${included} (only ${RULE_TABLE} names rule units)\n")
        endif()
        if(included MATCHES "^runtime/[a-z0-9_]+/" AND NOT in_platform)
          string(APPEND problems "  ${file}: includes the platform header ${included}\n")
        endif()
      elseif(included MATCHES "${OS_HEADER_REGEX}" AND NOT in_platform)
        string(APPEND problems "  ${file}: includes the system header <${included}> outside src/runtime/<platform>/\n")
      endif()
    endforeach()
  endforeach()
endforeach()

# The programs reach the operating system through the runtime layer too.
file(GLOB_RECURSE app_files RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/apps/*.h ${SOURCE_DIR}/apps/*.cpp)
foreach(file IN LISTS app_files)
  file(STRINGS ${SOURCE_DIR}/${file} lines REGEX "^[ \t]*#[ \t]*include[ \t]*<")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*<([^>]+)>.*$" "\\1" included "${line}")
    if(included MATCHES "${OS_HEADER_REGEX}")
      string(APPEND problems "  ${file}: includes the system header <${included}> (use the runtime layer)\n")
    endif()
  endforeach()
endforeach()

if(problems)
  message(FATAL_ERROR "Layering broken:\n${problems}")
endif()
message(STATUS "Layers: every include goes downwards")
