# Runs that ask for more than the host has: more threads than the system gives, device memory
# the host cannot back, a root outside the ranks. Each must end with one clear line and status
# 1, never a signal or a hang. Included from the build, this file adds the tests; run with -P,
# it checks one run under an address-space limit that lets only part of the threads start.
if(CMAKE_SCRIPT_MODE_FILE)
  cmake_minimum_required(VERSION 3.18)
  # PROG, CASE (helper | worker | queue). A thread costs its stack in address space, so the
  # limit decides how many threads start. Two probe runs with a thousand workers measure what
  # one thread and the rest of the program cost here (the stack size and libraries vary by
  # host); the checked run then gets room for the threads before the failing kind and half of
  # that kind.
  find_program(prlimit prlimit)
  if(NOT prlimit)
    message("prlimit is not installed: skipped")
    return()
  endif()
  function(run_limited limit words out_var err_var status_var)
    execute_process(COMMAND ${prlimit} --as=${limit} ${PROG} -n 1K -x 1K ${words}
                    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 60)
    set(${out_var} "${out}" PARENT_SCOPE)
    set(${err_var} "${err}" PARENT_SCOPE)
    set(${status_var} "${status}" PARENT_SCOPE)
  endfunction()
  set(probe_limits 1500000000 3000000000)
  set(started "")
  foreach(limit IN LISTS probe_limits)
    run_limited(${limit} "-s;1000" out err status)
    if(NOT err MATCHES "cannot start helper thread ([0-9]+) of 10000")
      message(FATAL_ERROR "probe under ${limit} bytes: no refused helper thread\n"
                          "status ${status}\n${out}\n${err}")
    endif()
    list(APPEND started ${CMAKE_MATCH_1})
  endforeach()
  list(GET started 0 k1)
  list(GET started 1 k2)
  if(NOT k2 GREATER k1)
    message(FATAL_ERROR "probes started ${k1} and ${k2} threads: no cost per thread to measure")
  endif()
  math(EXPR per "(3000000000 - 1500000000) / (${k2} - ${k1})")
  math(EXPR base "1500000000 - ${k1} * ${per}")
  # Room for the threads that start before the failing kind (ten helpers per communicator)
  # and half of its 64.
  set(words -s 64)
  set(room 672)
  set(want "cannot start worker thread")
  set(hint "Resource temporarily unavailable; use fewer threads (-s) or communicators (-c)")
  if(CASE STREQUAL "helper")
    set(room 320)
    set(want "cannot start helper thread")
  elseif(CASE STREQUAL "queue")
    set(words -c 64 -y 1)
    set(want "oxsim: oxrtQueueCreate: cannot start the queue's thread: ")
    set(hint "OXRT error msg: oxrtErrorMemoryAllocation")
  endif()
  math(EXPR limit "${base} + ${room} * ${per}")
  run_limited(${limit} "${words}" out err status)
  set(shown "prlimit --as=${limit} ${PROG} ${words} (a thread costs ${per} bytes, the rest "
            "${base})\n--- standard output:\n${out}--- standard error:\n${err}")
  if(NOT status STREQUAL "1")
    message(FATAL_ERROR "exit status '${status}', expected 1\n${shown}")
  endif()
  foreach(text "${want}" "${hint}")
    string(FIND "${err}" "${text}" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "standard error lacks '${text}'\n${shown}")
    endif()
  endforeach()
  # A refused helper or worker stops the run before anything is printed (a refused queue, like
  # any failed buffer set-up, after the title); none gives a verdict.
  string(FIND "${out}" "All Result Check" verdict)
  if(NOT verdict EQUAL -1 OR (NOT CASE STREQUAL "queue" AND NOT out STREQUAL ""))
    message(FATAL_ERROR "unexpected standard output\n${shown}")
  endif()
  return()
endif()

set(OX_LIMITS_SCRIPT ${CMAKE_CURRENT_LIST_FILE})
set(OX_FEWER "use fewer threads (-s) or communicators (-c)")

# More threads than any Linux host can have (its task limit is at most 4194304): refused at
# once, before any device or MPI call, so a huge count never sizes anything first.
set(OX_BOUND_CASES
    "threads|-s|1000000|-s 1000000 and -c 1 need 11000000 threads in this process"
    "queues|-s|1|-c|400000|-y|1|-s 1 and -c 400000 need 4400001 threads in this process"
    "product|-s|2000000|-c|2000000|-y|1|-s 2000000 and -c 2000000 need 44000002000000 threads")
foreach(prog bench-allreduce bench-reducescatter bench-allgather bench-alltoall)
  foreach(case IN LISTS OX_BOUND_CASES)
    string(REPLACE "|" ";" words "${case}")
    list(POP_FRONT words tag)
    list(POP_BACK words text)
    string(REPLACE ";" "\\;" args "-n;1K;-x;1K;${words}")
    add_test(NAME limits_bound_${tag}_${prog} COMMAND ${CMAKE_COMMAND}
             -DPROG=$<TARGET_FILE:${prog}> "-DARGS=${args}" -DSTATUS=1
             "-DEXPECT_TEXT=${text}|${OX_FEWER}" -DNO_CALLS=1 -P ${OX_CLI_CHECK})
    set_tests_properties(limits_bound_${tag}_${prog} PROPERTIES TIMEOUT 60)
  endforeach()
endforeach()

# Threads refused by the system itself, through an address-space limit: a helper pool, a
# worker, a queue. Status 1 with the reason, not an abort. The sanitizers need an unbounded
# address space, so those builds leave these out.
if(OX_SANITIZE STREQUAL "")
  foreach(case helper worker queue)
    add_test(NAME limits_refused_${case}_thread COMMAND ${CMAKE_COMMAND}
             -DPROG=$<TARGET_FILE:bench-allreduce> -DCASE=${case} -P ${OX_LIMITS_SCRIPT})
    set_tests_properties(limits_refused_${case}_thread PROPERTIES TIMEOUT 120
                         SKIP_REGULAR_EXPRESSION "prlimit is not installed")
  endforeach()
endif()

# Device memory that fits the (huge) cards but not the host: refused at allocation with the
# simulator's line and the runtime error, in one thread, two, and two with two communicators
# on queues, before a byte is touched.
set(OX_HUGE_CARDS "OXSIM_DEVICE_MEMORY=1048576G")
foreach(prog bench-allreduce bench-reducescatter bench-allgather bench-alltoall)
  foreach(shape "1" "2" "2|-c|2|-y|1")
    string(REPLACE "|" "_" tag "${shape}")
    ox_run_test(NAME limits_host_memory_s${tag}_${prog} PROG ${prog}
                ARGS "-n|1024G|-x|1024G|-s|${shape}" ENV "${OX_HUGE_CARDS}" STATUS 1
                ERR_HAS "bytes on card" "exceed the host memory that can back them"
                        "OXRT error msg: oxrtErrorMemoryAllocation"
                OUT_LACKS "All Result Check")
  endforeach()
endforeach()
# A root outside the ranks of the run, for every program: equal to the rank count with two
# threads, with two threads of two communicators on queues, and the largest 32-bit value;
# one below the rank count runs.
foreach(prog bench-allreduce bench-reducescatter bench-allgather bench-alltoall)
  foreach(shape "2|-o|2" "2|-c|2|-y|1|-o|4" "1|-o|1")
    string(REPLACE "|" "_" tag "${shape}")
    ox_run_test(NAME limits_root_s${tag}_${prog} PROG ${prog} ARGS "-n|1K|-x|1K|-s|${shape}"
                STATUS 1 ERR_HAS "root is bigger than communicator number"
                OUT_LACKS "All Result Check")
  endforeach()
  add_test(NAME limits_root_4294967295_${prog} COMMAND ${CMAKE_COMMAND}
           -DPROG=$<TARGET_FILE:${prog}> "-DARGS=-n\;1K\;-x\;1K\;-o\;4294967295" -DSTATUS=1
           "-DEXPECT_TEXT=Please check the -o/--root input" -DNO_CALLS=1 -P ${OX_CLI_CHECK})
  ox_run_test(NAME limits_root_last_${prog} PROG ${prog} ARGS "-n|1K|-x|1K|-s|2|-c|2|-y|1|-o|3"
              STATUS 0 OUT_HAS "All Result Check: PASSED")
endforeach()
