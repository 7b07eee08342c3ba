# Checks one run of a program under mpirun: run with -P and
#   MPIRUN, PROG, NP (process count), ARGS ("|" between words), ENV ("|" between NAME=VALUE
#   items, given to every process), ONLY_RANK and ONLY_ENV (items given to that process alone),
#   ONLY_ARGS (words that process runs with instead of ARGS),
#   STATUS: the exit status expected of every process, or "nonzero": some process fails and
#     mpirun must end the others (the whole run's status is then non-zero);
#   OUT_COUNT / ERR_COUNT ("|" between "N:text" items): text occurs exactly N times in standard
#     output / error; OUT_LACKS: texts absent from standard output;
#   ROWS, ERRORS (0: no row reports a mismatch, 1: some row does), ERR_FIRST (field index of the
#     first error column: 7 with a redop column, 6 without);
#   MEM_CSV (a file the run must write: a header and one data line whose API is MEM_API);
#   NO_FILES (1: the run leaves its working folder empty); MAX_SECONDS (wall-time bound, times
#     SLOWDOWN where given);
#   MEM_WIRE (1: the memory report's Oxwire column is not 0);
#   HOSTS: run on that many hosts of a cluster on this machine, MPIRUN being
#     tools/cluster/mpirun.sh (tests/cluster/cluster.cmake sets this up); a function
#     ox_after_run, where defined, is called after the run.
cmake_minimum_required(VERSION 3.18)
include(${CMAKE_CURRENT_LIST_DIR}/../checks.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/../programs/table.cmake)
if(NOT DEFINED ERR_FIRST)
  set(ERR_FIRST 7)
endif()
if(NOT DEFINED MAX_SECONDS)
  set(MAX_SECONDS 45)
endif()
if(DEFINED SLOWDOWN)
  math(EXPR MAX_SECONDS "${MAX_SECONDS} * ${SLOWDOWN}")
endif()
ox_split_lists(ARGS ENV ONLY_ENV ONLY_ARGS OUT_COUNT ERR_COUNT OUT_LACKS)
string(MD5 key "${PROG} ${NP} ${ARGS} ${ENV} ${ONLY_RANK} ${ONLY_ENV} ${ONLY_ARGS} ${HOSTS}")
set(work ${CMAKE_CURRENT_BINARY_DIR}/mpirun_${key})
file(REMOVE_RECURSE ${work})
file(MAKE_DIRECTORY ${work})

set(ENV{OMPI_ALLOW_RUN_AS_ROOT} 1)
set(ENV{OMPI_ALLOW_RUN_AS_ROOT_CONFIRM} 1)
# Open MPI keeps memory until exit on purpose; that is no leak of the programs.
set(ENV{ASAN_OPTIONS} detect_leaks=0)
set(common_x "")
foreach(item IN LISTS ENV)
  list(APPEND common_x -x "${item}")
endforeach()

# Each process reports its own exit status on standard error; mpirun tells only one.
if(STATUS STREQUAL "nonzero")
  set(program ${PROG})
else()
  set(program /bin/sh -c
      "\"$0\" \"$@\"\ns=$?\necho \"process $OMPI_COMM_WORLD_RANK exit status: $s\" >&2\nexit $s"
      ${PROG})
endif()

# One application context per run of processes with the same environment.
# mpirun's own limit ends every process of a stuck run; the one of execute_process is the last
# resort.
math(EXPR limit "${MAX_SECONDS} + 5")
math(EXPR backstop "${MAX_SECONDS} + 10")
if(DEFINED HOSTS)
  # The cluster script chooses the transport (TCP) and the binding, and maps ranks host by host.
  set(command ${MPIRUN} -H ${HOSTS} --timeout ${limit})
else()
  set(command ${MPIRUN} --oversubscribe --bind-to none --mca btl self,vader --timeout ${limit})
endif()
# A failed run leaves without MPI_Finalize, which mpirun takes for a crash and answers by killing
# the others, maybe before they have printed; where every process is meant to fail, let each end
# by itself.
if(NOT STATUS STREQUAL "nonzero" AND NOT STATUS STREQUAL "0")
  list(APPEND command --mca orte_allowed_exit_without_sync 1
                      --mca orte_abort_on_non_zero_status 0)
endif()
if(DEFINED ONLY_RANK AND NOT ONLY_RANK STREQUAL "")
  set(only_x "")
  foreach(item IN LISTS ONLY_ENV)
    list(APPEND only_x -x "${item}")
  endforeach()
  math(EXPR after "${NP} - ${ONLY_RANK} - 1")
  if(ONLY_RANK GREATER 0)
    list(APPEND command -np ${ONLY_RANK} ${common_x} ${program} ${ARGS} :)
  endif()
  set(only_args ${ARGS})
  if(NOT ONLY_ARGS STREQUAL "")
    set(only_args ${ONLY_ARGS})
  endif()
  list(APPEND command -np 1 ${common_x} ${only_x} ${program} ${only_args})
  if(after GREATER 0)
    list(APPEND command : -np ${after} ${common_x} ${program} ${ARGS})
  endif()
else()
  list(APPEND command -np ${NP} ${common_x} ${program} ${ARGS})
endif()

string(TIMESTAMP start "%s")
execute_process(COMMAND ${command} WORKING_DIRECTORY ${work} RESULT_VARIABLE status
                OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT ${backstop})
string(TIMESTAMP stop "%s")
math(EXPR seconds "${stop} - ${start}")
list(JOIN command " " words)
set(shown "${words}\n--- standard output:\n${out}--- standard error:\n${err}")
if(COMMAND ox_after_run)
  ox_after_run()
endif()

if(STATUS STREQUAL "nonzero")
  if(NOT status MATCHES "^[0-9]+$" OR status EQUAL 0)
    message(FATAL_ERROR "run status '${status}', expected a failure\n${shown}")
  endif()
else()
  if(STATUS STREQUAL "0" AND NOT status STREQUAL "0")
    message(FATAL_ERROR "run status '${status}', expected every process to end with 0\n${shown}")
  endif()
  math(EXPR last "${NP} - 1")
  foreach(p RANGE ${last})
    string(FIND "${err}" "process ${p} exit status: ${STATUS}\n" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "process ${p} did not end with status ${STATUS}\n${shown}")
    endif()
  endforeach()
endif()
if(seconds GREATER_EQUAL MAX_SECONDS)
  message(FATAL_ERROR "the run took ${seconds} s, the bound is ${MAX_SECONDS} s\n${shown}")
endif()

# Occurrences of a text in a string.
function(count_text haystack needle result)
  set(n 0)
  string(LENGTH "${needle}" length)
  string(FIND "${haystack}" "${needle}" at)
  while(NOT at EQUAL -1)
    math(EXPR n "${n} + 1")
    math(EXPR at "${at} + ${length}")
    string(SUBSTRING "${haystack}" ${at} -1 haystack)
    string(FIND "${haystack}" "${needle}" at)
  endwhile()
  set(${result} ${n} PARENT_SCOPE)
endfunction()
foreach(stream out err)
  string(TOUPPER ${stream} upper)
  set(name "standard output")
  if(stream STREQUAL "err")
    set(name "standard error")
  endif()
  foreach(item IN LISTS ${upper}_COUNT)
    if(NOT item MATCHES "^([0-9]+):(.*)$")
      message(FATAL_ERROR "malformed count item '${item}'")
    endif()
    set(want ${CMAKE_MATCH_1})
    set(text "${CMAKE_MATCH_2}")
    count_text("${${stream}}" "${text}" n)
    if(NOT n EQUAL want)
      message(FATAL_ERROR "${name} holds '${text}' ${n} times, expected ${want}\n${shown}")
    endif()
  endforeach()
endforeach()
ox_expect_lacks("standard output" "${out}" "${OUT_LACKS}" "${shown}")

# Table rows start with blanks and two numbers; the error columns are the fourth of each mode
# group.
string(REPLACE "\n" ";" lines "${out}")
set(rows 0)
set(errors 0)
foreach(line IN LISTS lines)
  if(line MATCHES "^ +[0-9]+ +[0-9]+ ")
    math(EXPR rows "${rows} + 1")
    ox_row_errors("${line}" ${ERR_FIRST} row_error row_zero)
    if(row_error)
      set(errors 1)
    endif()
  endif()
endforeach()
if(DEFINED ROWS AND NOT rows EQUAL ROWS)
  message(FATAL_ERROR "${rows} result rows, expected ${ROWS}\n${shown}")
endif()
if(DEFINED ERRORS AND NOT errors EQUAL ERRORS)
  if(ERRORS)
    message(FATAL_ERROR "no row reports a mismatch\n${shown}")
  endif()
  message(FATAL_ERROR "a row reports mismatches\n${shown}")
endif()

if(MEM_CSV)
  if(NOT EXISTS ${work}/${MEM_CSV})
    message(FATAL_ERROR "the run wrote no ${MEM_CSV}\n${shown}")
  endif()
  file(STRINGS ${work}/${MEM_CSV} csv)
  set(header "API,Count,Oxcl Mem usage(Bytes),Oxwire Mem usage(Bytes),Total Mem usage(Bytes)")
  list(LENGTH csv n)
  if(NOT n EQUAL 2)
    message(FATAL_ERROR "${MEM_CSV} has ${n} lines, expected a header and one data line\n${shown}")
  endif()
  list(GET csv 0 first)
  list(GET csv 1 data)
  if(NOT first STREQUAL header OR NOT data MATCHES "^${MEM_API},[0-9]+,[0-9]+,[0-9]+,[0-9]+$")
    string(REPLACE ";" "\n" text "${csv}")
    message(FATAL_ERROR "${MEM_CSV} is not a header and a ${MEM_API} line:\n${text}\n${shown}")
  endif()
  string(REPLACE "," ";" fields "${data}")
  list(GET fields 3 wire)
  if(MEM_WIRE AND wire EQUAL 0)
    message(FATAL_ERROR "${MEM_CSV} counts no link buffers: ${data}\n${shown}")
  endif()
endif()
if(NO_FILES)
  file(GLOB left RELATIVE ${work} ${work}/*)
  if(left)
    message(FATAL_ERROR "the run left files: ${left}\n${shown}")
  endif()
endif()
