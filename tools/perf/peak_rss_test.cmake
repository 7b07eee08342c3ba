# peak_rss: the command's exit status passes through, a signal and a missing command are told
# apart, and the peak is the child's real resident memory.
# (Arguments avoid ";", which would split them into CMake list items.)
#   cmake -DPEAK_RSS=<binary> -P peak_rss_test.cmake
function(run expected_rc)
  execute_process(COMMAND ${PEAK_RSS} ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out
                  ERROR_VARIABLE err TIMEOUT 20)
  if(NOT rc STREQUAL "${expected_rc}")
    message(FATAL_ERROR "peak_rss ${ARGN}: exit '${rc}', expected ${expected_rc}\n${out}\n${err}")
  endif()
  set(err "${err}" PARENT_SCOPE)
  set(out "${out}" PARENT_SCOPE)
endfunction()

run(3 sh -c "echo hello && exit 3")
if(NOT out STREQUAL "hello\n" OR NOT err MATCHES "peak_rss_kib [0-9]+\nwall_s [0-9]+\\.[0-9]+\n")
  message(FATAL_ERROR "output not passed through or no report:\n${out}\n${err}")
endif()
run(137 sh -c "kill -9 $$")
run(127 /nonexistent/command)
if(NOT err MATCHES "cannot run /nonexistent/command")
  message(FATAL_ERROR "no reason given for a command that cannot start:\n${err}")
endif()
run(2)

# A shell holding a 64 MiB string must show at least that much, and not wildly more.
run(0 sh -c "x=$(head -c 67108864 /dev/zero | tr '\\0' a) && echo \${#x}")
string(REGEX MATCH "peak_rss_kib ([0-9]+)" m "${err}")
set(kib ${CMAKE_MATCH_1})
if(NOT out STREQUAL "67108864\n" OR kib LESS 65536 OR kib GREATER 1048576)
  message(FATAL_ERROR "peak of a 64 MiB shell string reported as ${kib} KiB\n${out}\n${err}")
endif()
