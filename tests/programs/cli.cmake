# Command-line behaviour of the real programs: status, standard error, and no device or MPI call
# for help and version. Included from the build, this file adds the tests; run with -P, it is
# the check of one case.
if(CMAKE_SCRIPT_MODE_FILE)
  set(call_log ${CMAKE_CURRENT_BINARY_DIR}/cli_calls_${ARGS}.log)
  file(REMOVE ${call_log})
  set(ENV{OXSIM_CALL_LOG} ${call_log})
  execute_process(COMMAND ${PROG} ${ARGS} RESULT_VARIABLE status ERROR_VARIABLE err)
  if(NOT status EQUAL STATUS)
    message(FATAL_ERROR "exit status ${status}, expected ${STATUS}\n${err}")
  endif()
  if(EXPECT_FILE)
    file(READ ${EXPECT_FILE} expected)
    string(FIND "${err}" "${expected}" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "standard error lacks ${EXPECT_FILE}:\n${err}")
    endif()
  endif()
  if(EXPECT_TEXT)
    string(FIND "${err}" "${EXPECT_TEXT}" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "standard error lacks '${EXPECT_TEXT}':\n${err}")
    endif()
  endif()
  if(NO_CALLS AND EXISTS ${call_log})
    file(READ ${call_log} calls)
    if(NOT calls STREQUAL "")
      message(FATAL_ERROR "device or MPI calls were made:\n${calls}")
    endif()
  endif()
  return()
endif()

set(OX_CLI_CHECK ${CMAKE_CURRENT_LIST_FILE})
foreach(prog bench-allreduce bench-reducescatter bench-allgather bench-alltoall)
  add_test(NAME cli_help_${prog} COMMAND ${CMAKE_COMMAND} -DPROG=$<TARGET_FILE:${prog}>
           -DARGS=-h -DSTATUS=3 -DEXPECT_FILE=${CMAKE_CURRENT_LIST_DIR}/../golden/usage.txt
           -DNO_CALLS=1 -P ${OX_CLI_CHECK})
  add_test(NAME cli_version_${prog} COMMAND ${CMAKE_COMMAND} -DPROG=$<TARGET_FILE:${prog}>
           -DARGS=-V -DSTATUS=3 -DEXPECT_FILE=${CMAKE_CURRENT_LIST_DIR}/../golden/version.txt
           -DNO_CALLS=1 -P ${OX_CLI_CHECK})
  add_test(NAME cli_bad_option_${prog} COMMAND ${CMAKE_COMMAND} -DPROG=$<TARGET_FILE:${prog}>
           -DARGS=--nosuch -DSTATUS=1 -DEXPECT_TEXT=Usage: -P ${OX_CLI_CHECK})
  add_test(NAME cli_trailing_dashes_${prog} COMMAND ${CMAKE_COMMAND} -DPROG=$<TARGET_FILE:${prog}>
           "-DARGS=-l\;1\;--" -DSTATUS=1 "-DEXPECT_TEXT=Error: unknown option '--'"
           -P ${OX_CLI_CHECK})
endforeach()
