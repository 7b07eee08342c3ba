# Runs bench.sh on a build folder of stand-in programs (bench_stub.sh) with known results and
# checks what it makes of them: parsing, best-of-two, ratios, verdicts and missing tools.
#   cmake -DSRC=<tools/perf> -DWORK=<scratch> -DPEAK_RSS=<peak_rss binary> -P bench_test.cmake
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/full/bin ${WORK}/bare/bin ${WORK}/state ${WORK}/empty)

set(programs perf_oxcl bench-allreduce bench-reducescatter bench-allgather bench-alltoall)
foreach(p ${programs} perf_mpi perf_check)
  file(CREATE_LINK ${SRC}/bench_stub.sh ${WORK}/full/bin/${p} SYMBOLIC)
endforeach()
file(CREATE_LINK ${PEAK_RSS} ${WORK}/full/bin/peak_rss SYMBOLIC)
foreach(p ${programs})
  file(CREATE_LINK ${SRC}/bench_stub.sh ${WORK}/bare/bin/${p} SYMBOLIC)
endforeach()

function(run_bench dir out_var)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env STUB_DIR=${WORK}/state BENCH_MPIRUN=
                          BENCH_MPIRUN4= BENCH_STEADY_RUNS=5 BENCH_MIN_SECONDS=0.01
                          BENCH_PAIRS=2 sh ${SRC}/bench.sh ${dir}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 60)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "bench.sh ${dir} exited with '${rc}'\n${out}\n${err}")
  endif()
  set(${out_var} "${out}" PARENT_SCOPE)
endfunction()

# expect(OUT PIECE...): OUT matches the regex made of the pieces joined. ARGV<i>, not ARGN:
# a list would take the pieces' semicolons for separators.
function(expect out)
  set(regex "")
  math(EXPR last "${ARGC} - 1")
  foreach(i RANGE 1 ${last})
    string(APPEND regex "${ARGV${i}}")
  endforeach()
  if(NOT out MATCHES "${regex}")
    message(FATAL_ERROR "bench.sh output lacks '${regex}':\n${out}")
  endif()
endfunction()

run_bench(${WORK}/full out)
# Ceilings and floors: exactly at the factor is met; half of it is 50 % short.
expect("${out}" "allreduce 2 ranks 32M: bus bw / 1-thread memcpy +0.950 +>= 0.95  met\n")
expect("${out}" "allgather 2 ranks 32M: bus bw vs 0.8 x floor \\(GB/s\\) +8 +>= 8.000  met\n")
expect("${out}" "reducescatter 2 ranks 32M: [^\n]* 4 +>= 8.000  MISSED by 50.0%\n")
# Across processes: 8 x and 1.5 x MPI exactly are met, 3 x of 4 x is 25 % short; 1 x at 4M.
expect("${out}" "allreduce 2 procs 32M: oxcl vs 8x MPI \\(GB/s\\) +8 +>= 8.000  met\n")
expect("${out}" "reducescatter 2 procs 32M: [^\n]* 3 +>= 4.000  MISSED by 25.0%\n")
expect("${out}" "allgather 2 procs 32M: oxcl vs 1.5x MPI \\(GB/s\\) +1.5 +>= 1.500  met\n")
expect("${out}" "alltoall 2 procs 32M: [^\n]* 1.2 +>= 1.500  MISSED by 20.0%\n")
expect("${out}" "alltoall 2 procs 4M: oxcl vs 1x MPI \\(GB/s\\) +5 +>= 1.000  met\n")
# Programs: the better of two runs counts (the first stub run is far worse).
expect("${out}" "bench-allreduce s2 4M: bus bw / tight loop +0.950 +>= 0.95  met\n")
expect("${out}" "bench-allgather s4 32M: bus bw / tight loop +0.900 +>= 0.95  MISSED by 5.3%\n")
expect("${out}" "bench-reducescatter mpi 4M: bus bw / tight loop +0.900 ")
expect("${out}" "bench-allreduce mpi 32M: bus bw / tight loop +0.594 +>= 0.95  MISSED by 37.5%\n")
expect("${out}" "bench-allreduce s4 count 1: latency - tight loop \\(us\\) +1.50 +<= 2  met\n")
expect("${out}"
       "bench-alltoall mpi count 1: latency - tight loop \\(us\\) +3.00 +<= 2  MISSED by 50.0%\n")
expect("${out}" "bench-allgather +s4 +4194304 +4.5 +5 +0.900 +101.5 +100 +1.50 +0\n")
# Data check: four times as long is over the limit of 2.5, twice as long within it;
# perf_check's ratio is read.
expect("${out}" "data check: sweep -d 1 / -d 0 \\(wall time\\) [^\n]*<= 2.5  MISSED by")
expect("${out}"
       "data check: 512-step sweep to 256K -d 1 / -d 0 \\(wall time\\) +[12]\\.[0-9]+ +<= 2.5  met\n")
expect("${out}" "fill\\+check / all-core memcpy \\(perf_check\\) +0.2 +>= 0.5  MISSED by 60.0%\n")
# The README's example: 1.6 times as long is within two; its peak is the stub's own, tiny.
expect("${out}" "README example: -d 1 / -d 0 \\(wall time\\) +1\\.[0-9]+ +<= 2  met\n")
expect("${out}" "README example -d 1: peak RSS / buffers held +0\\.[0-9]+ +<= 1.10  met\n")
# The bounds from the bare kernel: 9.8 / 10 GB/s of memcpy, 9.8 / 1 GB/s of MPI.
expect("${out}" "allreduce 2 ranks 32M: at most 0.980 x 1-thread memcpy \\(target 0.95\\); "
                "the library reaches 0.969 of the kernel\n")
expect("${out}" "allreduce 2 procs 32M: at most 9.800 x MPI \\(target 8\\); the library "
                "reaches 0.816 of the kernel\n")
expect("${out}" "fill\\+check over section 1's all-core memcpy \\(12 GB/s\\): 0.200\n")
expect("${out}" "peak RSS bench-allreduce -d 1 / buffers held +0\\.[0-9]+ +<= 1.10  met\n")
# The simulator itself: float16 at exactly 0.8 of bfloat16; the worst steady row is 4M out of
# place (the 1K row below 256K does not count); 2.5 times the latency with 4 processes.
expect("${out}" "float16 / bfloat16 bus bw, allreduce 2 ranks 4M +0.800 +>= 0.8  met\n")
expect("${out}" "steady count 4194304 +out: 5 runs, median 10.00 GB/s, min 9.50, max 11.00, "
                "spread 15.0%\n")
expect("${out}" "steady count 262144 +out: [^\n]*spread 0.0%\n")
expect("${out}" "steadiness: worst row >= 256K, spread / median \\(%\\) +15.0 +<= 10  "
                "MISSED by 50.0%\n")
# The bare kernel beside each steadiness run: its own rows, 256K in place spread 4 / 20.
expect("${out}" "steady bare count 262144 +in : 5 runs, median 20.00 GB/s, min 20.00, max 24.00, "
                "spread 20.0%\n")
expect("${out}" "steadiness: the bare kernel's worst row over the same runs spread 20.0% "
                "\\(target 10 for the program's rows, which spread 15.0%\\)\n")
# Against the bare kernel alternated with it: the best of each side, 8.82 / 9.8, exactly 0.9.
expect("${out}" "2 processes at 32M: all-reduce 8.82 GB/s, bare kernel 9.8 GB/s \\(ratio 0.900\\)\n")
expect("${out}" "allreduce 2 procs 32M: bus bw / bare kernel \\(alternated\\) +0.900 +>= 0.9  met\n")
expect("${out}" "64 ranks 1K: -np 4 -s 16 / -s 64 latency +2.500 +<= 3  met\n")
# Each pair on its own: the 2-process pairs gave 8.82 / 9 and 7 / 9.8, though the best of each
# side makes exactly 0.9; the data check's runs are timed by the clock.
expect("${out}" "  run by run: float16 / bfloat16 0.800 to 0.800, median 0.800 over 2 pairs; "
                "-np 4 / -s 64 2.500 to 2.500, median 2.500 over 2 pairs; "
                "2 processes / bare kernel 0.714 to 0.980, median 0.847 over 2 pairs\n")
expect("${out}" "default sweep[^\n]*\n  run by run: -d 1 / -d 0 [0-9]+\\.[0-9]+ to "
                "[0-9]+\\.[0-9]+, median [0-9]+\\.[0-9]+ over 5 runs\n")
expect("${out}" "targets met: [0-9]+, missed or not measured: [0-9]+; run time")

# Without perf_mpi, perf_check and peak_rss the rest still runs and says what is missing.
run_bench(${WORK}/bare out)
expect("${out}" "perf_mpi not built")
expect("${out}" "perf_check not built")
# Timed in whole seconds, the stub's runs mostly take 0 s, which gives no ratio; a run across
# the turn of a second gives one.
expect("${out}" "512-step sweep[^\n]*\n  run by run: -d 1 / -d 0 (n/a|[0-9]+\\.[0-9]+ to "
                "[0-9]+\\.[0-9]+, median [0-9]+\\.[0-9]+ over [1-5] runs)\n")
expect("${out}" "peak_rss not built")
expect("${out}" "allreduce 2 procs 32M: [^\n]* n/a +n/a  NOT MEASURED\n")
expect("${out}" "bench-allreduce s2 4M: bus bw / tight loop +0.950 +>= 0.95  met\n")
expect("${out}" "fill\\+check / all-core memcpy \\(perf_check\\) +n/a +0.5  NOT MEASURED\n")
expect("${out}" "README example -d 1: peak RSS / buffers held +n/a +1.10  NOT MEASURED\n")

# A build folder without the programs is refused at once.
execute_process(COMMAND sh ${SRC}/bench.sh ${WORK}/empty RESULT_VARIABLE rc
                OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 10)
if(NOT rc EQUAL 1 OR NOT err MATCHES "not found; build")
  message(FATAL_ERROR "bench.sh on an empty folder: '${rc}'\n${out}\n${err}")
endif()

# --help answers with the usage and status 0; bad options and settings are refused with 2.
function(expect_status rc_want regex)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env ${ARGN} RESULT_VARIABLE rc
                  OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 10)
  if(NOT rc EQUAL rc_want OR NOT "${out}${err}" MATCHES "${regex}")
    message(FATAL_ERROR "${ARGN}: '${rc}', expected ${rc_want} and '${regex}'\n${out}\n${err}")
  endif()
endfunction()
expect_status(0 "usage: tools/perf/bench.sh" sh ${SRC}/bench.sh --help)
expect_status(2 "unknown option '-x'" sh ${SRC}/bench.sh -x)
expect_status(2 "one build folder at most" sh ${SRC}/bench.sh a b)
expect_status(2 "BENCH_PAIRS='x' is not" BENCH_PAIRS=x sh ${SRC}/bench.sh ${WORK}/full)
expect_status(2 "BENCH_MIN_SECONDS='1s' is not" BENCH_MIN_SECONDS=1s sh ${SRC}/bench.sh ${WORK}/full)
expect_status(2 "BENCH_STEADY_RUNS='1' is not" BENCH_STEADY_RUNS=1 sh ${SRC}/bench.sh ${WORK}/full)
expect_status(0 "usage: tools/perf/run_mpi.sh" sh ${SRC}/run_mpi.sh --help)
