# Runs a program and checks both its exit status and what it printed:
#   cmake -DSTATUS=<n> [-DOUTPUT=<regex>] -P expect.cmake -- <program> [args...]
# OUTPUT must match the output and error streams together.  A run that
# fails must say why on exactly one line of the error stream, beside the
# runner's progress lines: no library's usage text, no exception dump.
set(command)
set(collect FALSE)
math(EXPR last "${CMAKE_ARGC} - 1")
foreach(i RANGE ${last})
  if(collect)
    list(APPEND command "${CMAKE_ARGV${i}}")
  elseif(CMAKE_ARGV${i} STREQUAL "--")
    set(collect TRUE)
  endif()
endforeach()
if(NOT command OR NOT DEFINED STATUS)
  message(FATAL_ERROR "usage: cmake -DSTATUS=<n> [-DOUTPUT=<regex>] -P expect.cmake -- <program> [args...]")
endif()

execute_process(COMMAND ${command} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
string(REPLACE ";" "," shown "${command}")
set(printed "--- output:\n${out}--- error stream:\n${err}---")
if(NOT status STREQUAL STATUS)
  message(FATAL_ERROR "${shown}: exit status ${status}, expected ${STATUS}\n${printed}")
endif()
if(DEFINED OUTPUT AND NOT "${out}${err}" MATCHES "${OUTPUT}")
  message(FATAL_ERROR "${shown}: nothing printed matches \"${OUTPUT}\"\n${printed}")
endif()
if(NOT STATUS EQUAL 0)
  string(REGEX REPLACE "dsmscenario: \\[[0-9]+/[0-9]+\\] [^\n]*\n" "" reason "${err}")
  if(NOT reason MATCHES "^dsmscenario: [^\n]+\n$")
    message(FATAL_ERROR "${shown}: the error stream should give one line of reason\n${printed}")
  endif()
endif()
