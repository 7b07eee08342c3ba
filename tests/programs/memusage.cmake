# The device memory report of the real programs (-u): the file, its one data line, and no memory
# query at all without the option. Included from the build, this file adds the tests; run with
# -P, it checks one case:
#   PROG, ARGS and ENV ("|" between items; @WORK@ stands for the case's own empty folder),
#   STATUS, ERR_HAS (a text of standard error), and
#   REPORT: none (no file written in the folder), or the report's file name in
#           the folder, with API (a regular expression for the first column) and COUNT: a number,
#           or ENTRY/N: the simulator's count of calls of ENTRY divided by N (the communicators
#           of the process) plus the set-up sample.
#   MEMINFO: how often oxrtMemGetInfo must have been called.
# Runs that end through the fatal exit path leave no call log, so they give COUNT as a number.
if(CMAKE_SCRIPT_MODE_FILE)
  cmake_minimum_required(VERSION 3.18)
  include(${CMAKE_CURRENT_LIST_DIR}/../checks.cmake)
  string(MD5 key "${PROG} ${ARGS} ${ENV}")
  set(work ${CMAKE_CURRENT_BINARY_DIR}/memusage/${key})
  file(REMOVE_RECURSE ${work})
  file(MAKE_DIRECTORY ${work})
  foreach(var ARGS ENV)
    string(REPLACE "@WORK@" "${work}" ${var} "${${var}}")
    string(REPLACE "|" ";" ${var} "${${var}}")
  endforeach()
  ox_set_env("${ENV}")
  set(call_log ${CMAKE_CURRENT_BINARY_DIR}/memusage/${key}.calls)
  file(REMOVE ${call_log})
  set(ENV{OXSIM_CALL_LOG} ${call_log})
  execute_process(COMMAND ${PROG} ${ARGS} WORKING_DIRECTORY ${work} RESULT_VARIABLE status
                  OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 60)
  list(JOIN ARGS " " words)
  set(shown "${ENV} ${PROG} ${words}\n--- standard output:\n${out}--- standard error:\n${err}")
  ox_expect_status("${status}" "${STATUS}" "${shown}")
  ox_expect_holds("standard error" "${err}" "${ERR_HAS}" "${shown}")
  # Entry point name -> number of calls, from the simulator's call log.
  set(calls "")
  if(EXISTS ${call_log})
    file(READ ${call_log} calls)
  endif()
  function(calls_of entry out_var)
    set(n 0)
    if(calls MATCHES "(^|\n)${entry} ([0-9]+)\n")
      set(n ${CMAKE_MATCH_2})
    endif()
    set(${out_var} ${n} PARENT_SCOPE)
  endfunction()
  calls_of(oxrtMemGetInfo meminfo)
  if(DEFINED MEMINFO AND NOT meminfo EQUAL MEMINFO)
    message(FATAL_ERROR "oxrtMemGetInfo called ${meminfo} times, expected ${MEMINFO}\n"
                        "--- calls:\n${calls}${shown}")
  endif()
  file(GLOB written RELATIVE ${work} ${work}/*)
  if(REPORT STREQUAL "none")
    if(written)
      message(FATAL_ERROR "files written in the folder: ${written}\n${shown}")
    endif()
    if(NOT EXISTS ${call_log})
      message(FATAL_ERROR "no call log, so the memory queries cannot be counted\n${shown}")
    endif()
    return()
  endif()
  if(NOT EXISTS ${work}/${REPORT})
    message(FATAL_ERROR "no report ${REPORT}; written: ${written}\n${shown}")
  endif()
  file(READ ${work}/${REPORT} report)
  set(header "API,Count,Oxcl Mem usage(Bytes),Oxwire Mem usage(Bytes),Total Mem usage(Bytes)")
  string(LENGTH "${header}\n" header_length)
  string(SUBSTRING "${report}" 0 ${header_length} head)
  string(SUBSTRING "${report}" ${header_length} -1 rest)
  if(NOT head STREQUAL "${header}\n" OR NOT rest MATCHES "^([^\n]*)\n$")
    message(FATAL_ERROR "the report is not the header and one data line:\n${report}\n${shown}")
  endif()
  set(line "${CMAKE_MATCH_1}")
  string(REPLACE "," ";" fields "${line}")
  list(LENGTH fields n)
  set(well_formed 0)
  if(n EQUAL 5)
    list(GET fields 0 api)
    list(GET fields 1 count)
    list(GET fields 2 oxcl)
    list(GET fields 3 oxwire)
    list(GET fields 4 total)
    if(api MATCHES "^(${API})$" AND "${count},${oxcl},${oxwire},${total}" MATCHES
                                       "^[0-9]+,[0-9]+,[0-9]+,[0-9]+$")
      set(well_formed 1)
    endif()
  endif()
  if(NOT well_formed)
    message(FATAL_ERROR "data line '${line}' is not '${API},<count>,<bytes>,<bytes>,<bytes>'\n"
                        "${shown}")
  endif()
  # On the simulator nothing else uses the card, so no figure wraps; 18 digits also keep them
  # within cmake's signed 64-bit arithmetic.
  foreach(figure oxcl oxwire total)
    string(LENGTH "${${figure}}" digits)
    if(digits GREATER 18)
      message(FATAL_ERROR "${figure} ${${figure}} is not a plausible byte count\n${shown}")
    endif()
  endforeach()
  math(EXPR sum "${oxcl} + ${oxwire}")
  if(NOT sum EQUAL total)
    message(FATAL_ERROR "oxcl ${oxcl} + oxwire ${oxwire} is not the total ${total}\n${shown}")
  endif()
  if(COUNT MATCHES "^([A-Za-z]+)/([0-9]+)$")
    set(per ${CMAKE_MATCH_2})
    calls_of(${CMAKE_MATCH_1} launches)
    math(EXPR want "${launches} / ${per} + 1")
    if(launches EQUAL 0)
      message(FATAL_ERROR "the call log shows no ${CMAKE_MATCH_1}\n--- calls:\n${calls}${shown}")
    endif()
  else()
    set(want ${COUNT})
  endif()
  if(NOT count EQUAL want)
    message(FATAL_ERROR "Count ${count}, expected ${want} (${COUNT})\n--- calls:\n${calls}"
                        "${shown}")
  endif()
  return()
endif()

set(OX_MEMUSAGE_CHECK ${CMAKE_CURRENT_LIST_FILE})
set(OX_MEM_SMALL "-d|1|-n|1K|-x|4K")

# ox_memusage_test(NAME name PROG target ARGS words STATUS s [ENV items] [REPORT file|none]
#                  [API regex] [COUNT n|ENTRY/N] [MEMINFO n] [ERR_HAS text])
function(ox_memusage_test)
  cmake_parse_arguments(T "" "NAME;PROG;ARGS;ENV;STATUS;REPORT;API;COUNT;MEMINFO;ERR_HAS" ""
                        ${ARGN})
  set(defs -DPROG=$<TARGET_FILE:${T_PROG}> "-DARGS=${T_ARGS}" "-DENV=${T_ENV}"
           -DSTATUS=${T_STATUS})
  foreach(one REPORT API COUNT MEMINFO ERR_HAS)
    if(DEFINED T_${one})
      list(APPEND defs "-D${one}=${T_${one}}")
    endif()
  endforeach()
  add_test(NAME ${T_NAME} COMMAND ${CMAKE_COMMAND} ${defs} -P ${OX_MEMUSAGE_CHECK})
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT 90)
endfunction()

# A folder path gets the default file name; Count is every launch of the process's first
# communicator plus the set-up sample, also with several threads and communicators.
ox_memusage_test(NAME memusage_allreduce PROG bench-allreduce ARGS "${OX_MEM_SMALL}|-u|@WORK@/"
                 STATUS 0 REPORT oxcl_mem_usage.csv API oxclAllReduce COUNT oxclAllReduce/1
                 MEMINFO 4)
ox_memusage_test(NAME memusage_allreduce_threads_comms PROG bench-allreduce
                 ARGS "${OX_MEM_SMALL}|-s|2|-c|2|-y|1|-u|@WORK@/mem.csv" STATUS 0
                 REPORT mem.csv API oxclAllReduce COUNT oxclAllReduce/4 MEMINFO 4)
# Without -u: no file and no memory query.
ox_memusage_test(NAME memusage_off PROG bench-allreduce ARGS "${OX_MEM_SMALL}" STATUS 0
                 REPORT none MEMINFO 0)
# A run that fails after communicator set-up still reports the set-up sample, on the one-thread
# path (through main) and on the abort path of several threads (through the fatal exit). Which
# name the abort path writes depends on how far worker 0 got.
ox_memusage_test(NAME memusage_collective_fails PROG bench-allreduce
                 ARGS "${OX_MEM_SMALL}|-u|@WORK@/" ENV "OXSIM_FAULT=oxclAllReduce:1" STATUS 1
                 REPORT oxcl_mem_usage.csv API oxclAllReduce COUNT 1)
ox_memusage_test(NAME memusage_collective_fails_threads PROG bench-allreduce
                 ARGS "${OX_MEM_SMALL}|-s|2|-u|@WORK@/" ENV "OXSIM_FAULT=oxclAllReduce:1"
                 STATUS 1 REPORT oxcl_mem_usage.csv API "oxcl(AllReduce)?" COUNT 1)
# A failed memory query ends the run: before set-up no file is opened yet; at the start of the
# collective phase the set-up sample is still reported.
ox_memusage_test(NAME memusage_query_fails_before_setup PROG bench-allreduce
                 ARGS "${OX_MEM_SMALL}|-u|@WORK@/" ENV "OXSIM_FAULT=oxrtMemGetInfo:1" STATUS 1
                 ERR_HAS "OXRT error msg: " REPORT none MEMINFO 1)
ox_memusage_test(NAME memusage_query_fails_in_run PROG bench-allreduce
                 ARGS "${OX_MEM_SMALL}|-u|@WORK@/" ENV "OXSIM_FAULT=oxrtMemGetInfo:3" STATUS 1
                 ERR_HAS "OXRT error msg: " REPORT oxcl_mem_usage.csv API oxclAllReduce COUNT 1
                 MEMINFO 3)
# A missing folder is created, every level of it; one that cannot be (below a file) ends the
# run with status 1.
ox_memusage_test(NAME memusage_new_folder PROG bench-allreduce
                 ARGS "${OX_MEM_SMALL}|-u|@WORK@/new/deeper/" STATUS 0
                 REPORT new/deeper/oxcl_mem_usage.csv API oxclAllReduce COUNT oxclAllReduce/1
                 MEMINFO 4)
ox_memusage_test(NAME memusage_unwritable PROG bench-allreduce
                 ARGS "${OX_MEM_SMALL}|-u|/dev/null/dir/" STATUS 1 REPORT none MEMINFO 2
                 ERR_HAS "Cannot open the memory usage file /dev/null/dir/oxcl_mem_usage.csv")
# All-to-all reports under the interface's name.
ox_memusage_test(NAME memusage_alltoallv PROG bench-alltoall ARGS "${OX_MEM_SMALL}|-s|2|-u|@WORK@/"
                 STATUS 0 REPORT oxcl_mem_usage.csv API oxclAlltoAllv COUNT oxclAlltoAllv/2
                 MEMINFO 4)
ox_memusage_test(NAME memusage_alltoall_group PROG bench-alltoall
                 ARGS "${OX_MEM_SMALL}|-s|2|-u|@WORK@/" ENV "BENCHMARK_ALLTOALL_API=group"
                 STATUS 0 REPORT oxcl_mem_usage.csv API "oxclGroup/Send/Recv"
                 COUNT oxclGroupStart/2 MEMINFO 4)
