# The C host prints the same JSON records as "quillmark scan --json" for the
# same files (in any order).
#   cmake -DCLI=... -DHOST=... -DDATA=... -DFILES="a|b" -DOUT=dir -P same_records.cmake
cmake_minimum_required(VERSION 3.22)
# FILES is separated by "|" (a list would not survive the command line).
string(REPLACE "|" ";" FILES "${FILES}")
execute_process(COMMAND ${CLI} scan --json --no-progress --no-summary --data ${DATA} ${FILES}
                OUTPUT_VARIABLE cli_out RESULT_VARIABLE cli_rc)
execute_process(COMMAND ${HOST} json ${DATA} ${FILES} OUTPUT_VARIABLE host_out RESULT_VARIABLE host_rc)
if(NOT host_rc EQUAL 0)
  message(FATAL_ERROR "the C host failed (${host_rc})")
endif()
if(NOT cli_rc MATCHES "^[01]$")
  message(FATAL_ERROR "the CLI failed (${cli_rc})")
endif()
# Semicolons inside records would split CMake lists: mask them first.
string(REPLACE ";" "<semicolon>" cli_masked "${cli_out}")
string(REPLACE ";" "<semicolon>" host_masked "${host_out}")
string(REPLACE "\n" ";" cli_lines "${cli_masked}")
string(REPLACE "\n" ";" host_lines "${host_masked}")
list(REMOVE_ITEM cli_lines "")
list(REMOVE_ITEM host_lines "")
list(SORT cli_lines)
list(SORT host_lines)
list(LENGTH cli_lines n)
if(n EQUAL 0)
  message(FATAL_ERROR "no records")
endif()
if(NOT cli_lines STREQUAL host_lines)
  file(WRITE ${OUT}/cli.jsonl "${cli_out}")
  file(WRITE ${OUT}/host.jsonl "${host_out}")
  message(FATAL_ERROR "records differ: see ${OUT}/cli.jsonl and ${OUT}/host.jsonl")
endif()
message(STATUS "${n} records alike")
