# The watchdog (BENCHMARK_TIMEOUT_S), the progress lines (BENCHMARK_PROGRESS) and the warnings
# before a run. Included from the build, this file adds the tests; run with -P, it checks one
# case:
#   PROG, ARGS and ENV ("|" between items), STATUS, MAX_SECONDS (wall-time bound of the run),
#   ERR_HAS / ERR_LACKS ("|" between texts of standard error),
#   STEPS: the progress lines must be "step 1/STEPS: " to "step STEPS/STEPS: ", each once,
#   SAME_AS ("|" between NAME=VALUE items): a second run with these variables as well must
#     print the same standard output, measured numbers aside.
if(CMAKE_SCRIPT_MODE_FILE)
  cmake_minimum_required(VERSION 3.18)
  include(${CMAKE_CURRENT_LIST_DIR}/../checks.cmake)
  ox_split_lists(ARGS ENV ERR_HAS ERR_LACKS SAME_AS)
  string(MD5 key "${PROG} ${ARGS} ${ENV} ${SAME_AS}")
  set(work ${CMAKE_CURRENT_BINARY_DIR}/watchdog/${key})
  file(REMOVE_RECURSE ${work})
  file(MAKE_DIRECTORY ${work})
  # Settings of the test's own environment must not change what a case tests.
  foreach(name BENCHMARK_TIMEOUT_S BENCHMARK_PROGRESS OXSIM_FAULT)
    unset(ENV{${name}})
  endforeach()
  ox_set_env("${ENV}")
  if(NOT DEFINED MAX_SECONDS)
    set(MAX_SECONDS 60)
  endif()
  math(EXPR backstop "${MAX_SECONDS} + 30")
  string(TIMESTAMP start "%s")
  execute_process(COMMAND ${PROG} ${ARGS} WORKING_DIRECTORY ${work} RESULT_VARIABLE status
                  OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT ${backstop})
  string(TIMESTAMP stop "%s")
  math(EXPR seconds "${stop} - ${start}")
  list(JOIN ARGS " " words)
  set(shown "${ENV} ${PROG} ${words}\n--- standard output:\n${out}--- standard error:\n${err}")
  ox_expect_status("${status}" "${STATUS}" "${shown}")
  # Whole seconds of the clock: the run took at most one more than this.
  if(seconds GREATER_EQUAL MAX_SECONDS)
    message(FATAL_ERROR "the run took ${seconds} s, the bound is ${MAX_SECONDS} s\n${shown}")
  endif()
  ox_expect_holds("standard error" "${err}" "${ERR_HAS}" "${shown}")
  ox_expect_lacks("standard error" "${err}" "${ERR_LACKS}" "${shown}")
  if(DEFINED STEPS)
    string(REGEX MATCHALL "\\[Info\\]: step [0-9]+/[0-9]+: " lines "${err}")
    set(want "")
    foreach(k RANGE 1 ${STEPS})
      list(APPEND want "[Info]: step ${k}/${STEPS}: ")
    endforeach()
    if(NOT "${lines}" STREQUAL "${want}")
      message(FATAL_ERROR "progress lines are not steps 1 to ${STEPS} of ${STEPS}\n${shown}")
    endif()
  endif()
  if(SAME_AS)
    foreach(item IN LISTS SAME_AS)
      string(REGEX MATCH "^([^=]+)=(.*)$" _ "${item}")
      set(ENV{${CMAKE_MATCH_1}} "${CMAKE_MATCH_2}")
    endforeach()
    execute_process(COMMAND ${PROG} ${ARGS} WORKING_DIRECTORY ${work} RESULT_VARIABLE status2
                    OUTPUT_VARIABLE out2 ERROR_VARIABLE err2 TIMEOUT ${backstop})
    # Latencies and bandwidths (and so their padding) differ from run to run; nothing else may.
    foreach(v out out2)
      string(REGEX REPLACE " +[0-9]+\\.[0-9]+" " N" ${v}_masked "${${v}}")
    endforeach()
    if(NOT status2 STREQUAL status OR NOT out_masked STREQUAL out2_masked)
      message(FATAL_ERROR "with ${SAME_AS}: status ${status2} and standard output\n${out2}"
                          "--- differ from the run without:\n${shown}")
    endif()
  endif()
  return()
endif()

set(OX_WATCH_CHECK ${CMAKE_CURRENT_LIST_FILE})
set(OX_WATCH_SMALL "-n|1K|-x|16K|-m|2")  # counts 1K, 2K, 4K, 8K and 16K

# ox_watch_test(NAME name ARGS words [ENV items] STATUS s [MAX_SECONDS s] [ERR_HAS ...]
#               [ERR_LACKS ...] [STEPS n] [SAME_AS items] [PROG target])
function(ox_watch_test)
  cmake_parse_arguments(T "" "NAME;ARGS;ENV;STATUS;MAX_SECONDS;STEPS;SAME_AS;PROG"
                        "ERR_HAS;ERR_LACKS" ${ARGN})
  if(NOT T_PROG)
    set(T_PROG bench-allreduce)
  endif()
  set(defs -DPROG=$<TARGET_FILE:${T_PROG}> "-DARGS=${T_ARGS}" "-DENV=${T_ENV}"
           -DSTATUS=${T_STATUS})
  foreach(list ERR_HAS ERR_LACKS)
    if(T_${list})
      string(REPLACE ";" "|" joined "${T_${list}}")
      list(APPEND defs "-D${list}=${joined}")
    endif()
  endforeach()
  foreach(one MAX_SECONDS STEPS SAME_AS)
    if(DEFINED T_${one})
      list(APPEND defs "-D${one}=${T_${one}}")
    endif()
  endforeach()
  add_test(NAME ${T_NAME} COMMAND ${CMAKE_COMMAND} ${defs} -P ${OX_WATCH_CHECK})
  # The run's own bounds come first; this one only keeps a stuck check from holding CI.
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT 150)
endfunction()

# A hang at the third all-reduce (the timed loop of the first step): the watchdog names the call
# and the phase and ends the run with status 1, well within the timeout plus 10 s.
# Every thread makes each call: the first call of the timed loop is 2 x threads x comms + 1.
set(watch_error "BENCHMARK_TIMEOUT_S=3: no progress for 3 s in the timed loop")
set(watch_step "of oxclAllReduce at 1024 float sum in-place")
foreach(shape "1|3|" "2|5|" "2|-c|2|-y|1|9| (a queue sync)")
  string(REPLACE "|" ";" shape "${shape}")
  list(POP_BACK shape wait)
  list(POP_BACK shape call)
  string(REPLACE ";" "_" tag "${shape}")
  string(REPLACE ";" "|" shape "${shape}")
  ox_watch_test(NAME watchdog_hang_timed_loop_s${tag} ARGS "${OX_WATCH_SMALL}|-s|${shape}"
                ENV "OXSIM_FAULT=hang:oxclAllReduce:${call}|BENCHMARK_TIMEOUT_S=3" STATUS 1
                MAX_SECONDS 15 ERR_HAS "${watch_error}${wait} ${watch_step}" "ranks not finished: ")
endforeach()
# Communicator set-up, and a queue sync of the timed loop.
ox_watch_test(NAME watchdog_hang_set_up ARGS "${OX_WATCH_SMALL}|-s|2"
              ENV "OXSIM_FAULT=hang:oxclInitComms:1|BENCHMARK_TIMEOUT_S=3" STATUS 1 MAX_SECONDS 15
              ERR_HAS "no progress for 3 s in communicator set-up of oxclAllReduce")
ox_watch_test(NAME watchdog_hang_queue_sync_y_1 ARGS "${OX_WATCH_SMALL}|-s|1|-y|1"
              ENV "OXSIM_FAULT=hang:oxrtQueueSync:3|BENCHMARK_TIMEOUT_S=3" STATUS 1 MAX_SECONDS 15
              ERR_HAS "no progress for 3 s in the timed loop (a queue sync) of oxclAllReduce")
# Start-up before MPI exists, and tear-down after the verdict: the run still ends, with status 1
# even when it printed PASSED.
ox_watch_test(NAME watchdog_hang_start_up ARGS "${OX_WATCH_SMALL}|-s|2"
              ENV "OXSIM_FAULT=hang:OX_MPI_Init:1|BENCHMARK_TIMEOUT_S=3" STATUS 1 MAX_SECONDS 15
              ERR_HAS "no progress for 3 s in start-up (device and MPI initialisation)")
ox_watch_test(NAME watchdog_hang_tear_down ARGS "${OX_WATCH_SMALL}|-s|2"
              ENV "OXSIM_FAULT=hang:oxclDestroyComms:1|BENCHMARK_TIMEOUT_S=3" STATUS 1
              MAX_SECONDS 15 ERR_HAS "no progress for 3 s in tear-down" "ending the run")
# Without a fault the watchdog never fires, and neither it nor the progress lines change what
# the run prints on standard output.
ox_watch_test(NAME watchdog_quiet_threads ARGS "${OX_WATCH_SMALL}|-s|2|-d|1" ENV
              "BENCHMARK_TIMEOUT_S=30" STATUS 0 ERR_LACKS "[Error]" "no progress"
              SAME_AS "BENCHMARK_TIMEOUT_S=0|BENCHMARK_PROGRESS=1")
ox_watch_test(NAME watchdog_default_run_unchanged ARGS "${OX_WATCH_SMALL}|-s|2|-d|1" STATUS 0
              ERR_LACKS "BENCHMARK_" "[Error]" "step 1/" "warm-up: " "allocating"
              SAME_AS "BENCHMARK_TIMEOUT_S=30")
# One progress line per step, numbered out of the steps counted in advance: 2 types x 2
# operations x 5 counts x 2 modes; from the first thread only.
ox_watch_test(NAME watchdog_progress_steps ARGS "${OX_WATCH_SMALL}|-s|2|-t|float,int8|-r|sum,max"
              ENV "BENCHMARK_PROGRESS=1" STATUS 0 STEPS 40
              ERR_HAS "allocating and filling device buffers: 2 of 65536 bytes for each of 2"
                      "warm-up: 1 iteration of 16384 int8 max in-place"
                      "step 40/40: 16384 int8 max out-of-place, elapsed ")
ox_watch_test(NAME watchdog_progress_gather PROG bench-allgather
              ARGS "-n|1K|-x|4K|-m|2|-s|2|-z|outofplace" ENV "BENCHMARK_PROGRESS=1" STATUS 0
              STEPS 3 ERR_HAS "step 3/3: 2048 float out-of-place, elapsed ")
# Settings that are not numbers end the run before it starts.
foreach(bad "BENCHMARK_TIMEOUT_S=abc" "BENCHMARK_TIMEOUT_S=-5" "BENCHMARK_TIMEOUT_S=3s"
            "BENCHMARK_PROGRESS=yes")
  string(REGEX REPLACE "[^A-Za-z0-9]+" "_" tag "${bad}")
  ox_watch_test(NAME watchdog_rejects_${tag} ARGS "${OX_WATCH_SMALL}" ENV "${bad}" STATUS 1
                MAX_SECONDS 30 ERR_HAS "${bad} is not")
endforeach()

# Warnings before the run; it still passes.
ox_watch_test(NAME warning_loop_zero ARGS "${OX_WATCH_SMALL}|-l|0" STATUS 0
              ERR_HAS "[Warning]: -l 0: no iteration is timed")
ox_watch_test(NAME warning_min_above_max ARGS "-n|8K|-x|1K|-d|1" STATUS 0
              ERR_HAS "[Warning]: -n 8192 is larger than -x 1024: the sweep measures the single count 8192"
              ERR_LACKS "-d 0: ")
ox_watch_test(NAME warning_no_data_check ARGS "${OX_WATCH_SMALL}" STATUS 0
              ERR_HAS "[Warning]: -d 0: received data are not checked" ERR_LACKS "single count")
# Stress mode checks every iteration: no -d 0 warning.
ox_watch_test(NAME warning_none_in_stress_mode ARGS "${OX_WATCH_SMALL}|-#|1" STATUS 0
              ERR_LACKS "-d 0: ")
# A card out of memory: the library's line, then which buffer, how large, on which card.
ox_watch_test(NAME error_device_memory_full ARGS "-n|1M|-x|1M|-s|2|-z|outofplace"
              ENV "OXSIM_DEVICE_MEMORY=2M" STATUS 1
              ERR_HAS "OXRT error msg: oxrtErrorMemoryAllocation"
                      "Cannot allocate the send buffer of 4194304 bytes on card "
                      ": -x (1048576 elements) times 4 bytes of the largest type sets its size")
# A first step that passes -x: one row where a range was meant.
ox_watch_test(NAME warning_single_count_add ARGS "-n|1K|-x|64K|-d|1" STATUS 0
              ERR_HAS "[Warning]: -a 1048576 from -n 1024 passes -x 65536: the sweep measures the single count 1024 (use a smaller -a, or -m 2 to double)")
ox_watch_test(NAME warning_single_count_factor ARGS "-n|1K|-x|64K|-m|128|-d|1" STATUS 0
              ERR_HAS "[Warning]: -m 128 from -n 1024 passes -x 65536: the sweep measures the single count 1024")
ox_watch_test(NAME warning_ranks_share_cards ARGS "-n|1K|-x|1K|-s|3|-d|1"
              ENV "OXSIM_DEVICE_COUNT=2" STATUS 0
              ERR_HAS "[Warning]: more than one rank per card: this host's 2 cards carry at least 3 ranks")
ox_watch_test(NAME warning_clock_device ARGS "${OX_WATCH_SMALL}|-s|2|-y|1|-d|1"
              ENV "BENCHMARK_TEST_HW_TIME_ENABLE=1" STATUS 0
              ERR_HAS "[Warning]: BENCHMARK_TEST_HW_TIME_ENABLE=1: thread 0 times the loop with device notifiers")
ox_watch_test(NAME warning_clock_host ARGS "${OX_WATCH_SMALL}|-d|1"
              ENV "BENCHMARK_TEST_HW_TIME_ENABLE=0" STATUS 0
              ERR_HAS "[Warning]: BENCHMARK_TEST_HW_TIME_ENABLE=0: the loop is timed with the host clock")
ox_watch_test(NAME warning_alltoall_interface PROG bench-alltoall ARGS "${OX_WATCH_SMALL}|-d|1"
              ENV "BENCHMARK_ALLTOALL_API=group" STATUS 0
              ERR_HAS "[Warning]: BENCHMARK_ALLTOALL_API=group: measuring grouped oxclSend/oxclRecv")
