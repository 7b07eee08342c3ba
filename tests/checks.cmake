# The checks that the test scripts run with -P share: lists given on the command line, the
# environment of the run, and what a finished run must show. Every failure says what was wrong
# and then `shown`, the command and both streams of the run.

# Turns the "|" between the items of each named variable into list separators.
macro(ox_split_lists)
  foreach(ox_var ${ARGN})
    string(REPLACE "|" ";" ${ox_var} "${${ox_var}}")
  endforeach()
endmacro()

# Sets each NAME=VALUE item of the list in the environment of the runs that follow.
function(ox_set_env items)
  foreach(item IN LISTS items)
    string(REGEX MATCH "^([^=]+)=(.*)$" _ "${item}")
    set(ENV{${CMAKE_MATCH_1}} "${CMAKE_MATCH_2}")
  endforeach()
endfunction()

function(ox_expect_status status want shown)
  if(NOT status STREQUAL "${want}")
    message(FATAL_ERROR "exit status '${status}', expected ${want}\n${shown}")
  endif()
endfunction()

# Every text of the list `texts` must be in `stream`, named `name` in the message
# ("standard output", "standard error").
function(ox_expect_holds name stream texts shown)
  foreach(text IN LISTS texts)
    string(FIND "${stream}" "${text}" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "${name} lacks '${text}'\n${shown}")
    endif()
  endforeach()
endfunction()

# No text of the list `texts` may be in `stream`.
function(ox_expect_lacks name stream texts shown)
  foreach(text IN LISTS texts)
    string(FIND "${stream}" "${text}" at)
    if(NOT at EQUAL -1)
      message(FATAL_ERROR "${name} should not hold '${text}'\n${shown}")
    endif()
  endforeach()
endfunction()
