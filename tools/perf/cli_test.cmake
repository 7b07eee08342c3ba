# The harness's own tools: --help answers with the usage on standard output and status 0; a bad
# value or option is refused with a message naming it and status 2, before any measuring.
#   cmake -DBIN=<bin dir> [-DMPI=ON] -P cli_test.cmake
function(expect rc_want regex)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err
                  TIMEOUT 60)
  if(rc_want EQUAL 0)
    set(text "${out}")  # the usage asked for goes to standard output
  else()
    set(text "${err}")
  endif()
  if(NOT rc EQUAL rc_want OR NOT text MATCHES "${regex}")
    message(FATAL_ERROR "${ARGN}: '${rc}', expected ${rc_want} and '${regex}'\n${out}\n${err}")
  endif()
endfunction()

expect(0 "usage: perf_oxcl" ${BIN}/perf_oxcl --help)
expect(2 "bad value for --counts: '1,1X'" ${BIN}/perf_oxcl --counts 1,1X)
expect(2 "bad value for --ranks: '0'" ${BIN}/perf_oxcl --ranks 0)
expect(2 "no value after '--iters'" ${BIN}/perf_oxcl --iters)
expect(2 "bad argument 'bogus'" ${BIN}/perf_oxcl bogus)
expect(2 "bad value for --bare-rows: '1K,0'" ${BIN}/perf_oxcl --bare-rows 1K,0)
# Every row in place and out of place, the odd count split between the threads too.
expect(0 "bare row 1024 in [0-9.]+ GB/s\n.*bare row 1024 out .*bare row 5 in .*bare row 5 out"
       ${BIN}/perf_oxcl --bare-rows 1K,5 --iters 2)

expect(0 "usage: perf_check" ${BIN}/perf_check --help)
expect(2 "bad value for --count: 'abc'" ${BIN}/perf_check --count abc)
expect(2 "bad value for --count: '0'" ${BIN}/perf_check --count 0)
expect(2 "bad value for --runs: '1.5'" ${BIN}/perf_check --runs 1.5)
expect(2 "--count needs a value" ${BIN}/perf_check --count)
# The programs' count syntax: 1K is 1024 elements, not 1.
expect(0 "1024 elements" ${BIN}/perf_check --count 1K --runs 1)

expect(0 "usage: peak_rss" ${BIN}/peak_rss --help)
expect(2 "unknown option '-x'" ${BIN}/peak_rss -x)

if(MPI)
  expect(0 "usage: perf_mpi" ${BIN}/perf_mpi --help)
  expect(2 "bad count '3Q'" ${BIN}/perf_mpi 3Q)
  expect(2 "bad --min-seconds 'x'" ${BIN}/perf_mpi --min-seconds x)
  expect(2 "--iters needs a value" ${BIN}/perf_mpi --iters)
endif()
