# One run-sequence case of bench-testcoll, checked with -P: the exit status, texts on standard
# error, a standard output line that must appear exactly once or not at all, and no sanitizer
# report. REPEAT runs the same case that many times (an abort path that only sometimes crashes).
# Lists arrive with "|" between the items: ARGS, ENV (NAME=VALUE), STDERR_HAS, STDERR_LACKS,
# STDOUT_LACKS.
cmake_minimum_required(VERSION 3.18)
include(${CMAKE_CURRENT_LIST_DIR}/../checks.cmake)
ox_split_lists(ARGS ENV STDERR_HAS STDERR_LACKS STDOUT_LACKS)
ox_set_env("${ENV}")
if(NOT REPEAT)
  set(REPEAT 1)
endif()
list(JOIN ARGS " " words)
foreach(run RANGE 1 ${REPEAT})
  execute_process(COMMAND ${PROG} ${ARGS} RESULT_VARIABLE status TIMEOUT 60
                  OUTPUT_VARIABLE out ERROR_VARIABLE err)
  set(shown "run ${run} of ${REPEAT}: ${ENV} ${PROG} ${words}\n--- standard error:\n${err}--- standard output:\n${out}")
  # A signal shows as a word ("Segmentation fault", "Child aborted"), a hang as a timeout.
  ox_expect_status("${status}" "${STATUS}" "${shown}")
  foreach(report "Sanitizer" "runtime error:" "terminate called")
    string(FIND "${err}${out}" "${report}" at)
    if(NOT at EQUAL -1)
      message(FATAL_ERROR "the run left a '${report}' report\n${shown}")
    endif()
  endforeach()
  ox_expect_holds("standard error" "${err}" "${STDERR_HAS}" "${shown}")
  ox_expect_lacks("standard error" "${err}" "${STDERR_LACKS}" "${shown}")
  ox_expect_lacks("standard output" "${out}" "${STDOUT_LACKS}" "${shown}")
  if(DEFINED STDOUT_ONCE)
    string(REGEX MATCHALL "${STDOUT_ONCE}" found "${out}")
    list(LENGTH found times)
    if(NOT times EQUAL 1)
      message(FATAL_ERROR "'${STDOUT_ONCE}' appears ${times} times on standard output, not once\n${shown}")
    endif()
  endif()
endforeach()
