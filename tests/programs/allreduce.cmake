# bench-allreduce end to end on the simulator, with small counts so that the suite stays fast.
set(OX_RUN_CHECK ${CMAKE_CURRENT_LIST_DIR}/run.cmake)
set(OX_SMALL "-n|1K|-x|16K|-m|4|-d|1")  # counts 1K, 4K and 16K, data check on
set(OX_ALL_TYPES "${OX_SMALL}|-t|all|-r|all")
set(OX_PASSED "# All Result Check: PASSED")
set(OX_FAILED "# All Result Check: FAILED")
set(OX_BANNER "OPU-SIM][DRIVER:")  # no "[": it would join list items

# ox_run_test(NAME name ARGS words [ENV items] STATUS s [OUT_HAS ...] [OUT_LACKS ...]
#             [ERR_HAS ...] [ROWS n] [ERRORS 0|1] [CSV file] [ERR_FIRST i] [PROG target])
function(ox_run_test)
  cmake_parse_arguments(T "" "NAME;ARGS;ENV;STATUS;ROWS;ERRORS;CSV;PROG;ERR_FIRST" "OUT_HAS;OUT_LACKS;ERR_HAS"
                        ${ARGN})
  if(NOT T_PROG)
    set(T_PROG bench-allreduce)
  endif()
  set(defs -DPROG=$<TARGET_FILE:${T_PROG}> "-DARGS=${T_ARGS}" "-DENV=${T_ENV}"
           -DSTATUS=${T_STATUS})
  foreach(list OUT_HAS OUT_LACKS ERR_HAS)
    if(T_${list})
      string(REPLACE ";" "|" joined "${T_${list}}")
      list(APPEND defs "-D${list}=${joined}")
    endif()
  endforeach()
  foreach(one ROWS ERRORS CSV ERR_FIRST)
    if(DEFINED T_${one})
      list(APPEND defs "-D${one}=${T_${one}}")
    endif()
  endforeach()
  add_test(NAME ${T_NAME} COMMAND ${CMAKE_COMMAND} ${defs} -P ${OX_RUN_CHECK})
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT 150)
endfunction()

# Every type and operation, both modes, for one, two and four threads and two communicators
# per thread on queues: 11 types x 4 operations x 3 counts rows, none with a mismatch.
foreach(shape "1" "2" "4" "2|-c|2|-y|1")
  string(REPLACE "|" "_" tag "${shape}")
  ox_run_test(NAME allreduce_all_types_s${tag} ARGS "${OX_ALL_TYPES}|-s|${shape}" STATUS 0
              OUT_HAS "${OX_BANNER}" "${OX_PASSED}" ROWS 132 ERRORS 0)
endforeach()

# The options that change how a step runs, each with every type on two threads.
set(variants "-f|1" "-b|1" "--stress_test|1" "-z|inplace" "-z|outofplace" "-y|1|-b|1" "-l|3|-w|2")
foreach(v IN LISTS variants)
  string(REGEX REPLACE "[|-]+" "_" tag "${v}")
  ox_run_test(NAME allreduce_option${tag} ARGS "${OX_ALL_TYPES}|-s|2|${v}" STATUS 0
              OUT_HAS "${OX_PASSED}" ERRORS 0)
endforeach()
# Special counts merge into the series: 1K, 3K, 4K, 5K, 16K.
ox_run_test(NAME allreduce_special_counts ARGS "${OX_SMALL}|-s|2|-e|3K,5K" STATUS 0
            OUT_HAS "        3072 " "        5120 " "${OX_PASSED}" ROWS 5 ERRORS 0)
# A loop count of 0 times nothing: latency and bandwidths read 0 and the data check still runs.
ox_run_test(NAME allreduce_loop_zero ARGS "${OX_SMALL}|-s|2|-l|0" STATUS 0
            OUT_HAS "0.000              0.00             0.00         0" "${OX_PASSED}" ROWS 3)
# Hardware timing on queues.
ox_run_test(NAME allreduce_hw_time ARGS "${OX_SMALL}|-s|2|-y|1" ENV "BENCHMARK_TEST_HW_TIME_ENABLE=1"
            STATUS 0 OUT_HAS "${OX_PASSED}" ROWS 3 ERRORS 0)
# The CSV copy holds the title and the rows of the table, without the banner.
ox_run_test(NAME allreduce_csv ARGS "${OX_ALL_TYPES}|-s|2|-p|out.csv" STATUS 0 CSV out.csv
            OUT_HAS "${OX_PASSED}")
# "-p DIR/" on a fresh tree: the folder is made.
ox_run_test(NAME allreduce_csv_new_folder ARGS "${OX_SMALL}|-s|2|-p|new/dir/" STATUS 0
            CSV new/dir/output.csv)
ox_run_test(NAME allreduce_csv_one_mode ARGS "${OX_SMALL}|-s|2|-z|outofplace|-p|out.csv" STATUS 0
            CSV out.csv)

# Card rules: saturating 8-bit sums on OPU150, float16 products reaching the largest half on an
# "OPU1" card.
ox_run_test(NAME allreduce_opu150_bytes ARGS "${OX_SMALL}|-s|4|-c|2|-y|1|-t|int8,uint8|-r|sum"
            ENV "OXSIM_CARD_NAME=OPU150" STATUS 0 OUT_HAS "${OX_PASSED}" ERRORS 0)
ox_run_test(NAME allreduce_opu1_half_prod ARGS "${OX_SMALL}|-s|4|-c|2|-y|1|-t|float16|-r|prod"
            ENV "OXSIM_CARD_NAME=OPU110" STATUS 0 OUT_HAS "${OX_PASSED}" ERRORS 0)
# The portable float16 loops (hosts without F16C) pass every operation's check too, products
# reaching the largest half included.
ox_run_test(NAME allreduce_half_portable ARGS "${OX_SMALL}|-s|4|-t|float16|-r|all"
            ENV "OXSIM_F16C=0" STATUS 0 OUT_HAS "${OX_PASSED}" ERRORS 0)
# Only the elements at the largest half are exempt: 8 ranks' products saturate some elements of
# the chunk, and a wrong element that is not saturated (element 0: 1 x 2 x ... x 8) is counted.
ox_run_test(NAME allreduce_opu1_half_prod_corrupt ARGS "-n|1K|-x|1K|-d|1|-s|8|-t|float16|-r|prod"
            ENV "OXSIM_CARD_NAME=OPU150|OXSIM_FAULT=corrupt:oxclAllReduce:*:0:0" STATUS 1
            OUT_HAS "${OX_FAILED}" ERRORS 1)

# Stress mode checks every timed iteration: a row shows the mismatches of all its iterations
# (one wrong element in each of the 4 calls), not only those of the last fill.
ox_run_test(NAME allreduce_stress_counts_every_iteration
            ARGS "-n|1K|-x|4K|-m|4|-l|4|--stress_test|1"
            ENV "OXSIM_FAULT=corrupt:oxclAllReduce:*:0:5" STATUS 1
            OUT_HAS "${OX_FAILED}" "        4  " ERRORS 1 ROWS 2)

# Corrupted results are caught: the row's error column, the verdict and the status; the mismatch
# line only with -v.
ox_run_test(NAME allreduce_corrupt ARGS "${OX_SMALL}|-s|2" ENV "OXSIM_FAULT=corrupt:oxclAllReduce:4"
            STATUS 1 OUT_HAS "${OX_FAILED}" OUT_LACKS "index: " ERRORS 1)
ox_run_test(NAME allreduce_corrupt_verbose ARGS "${OX_SMALL}|-s|2|-v"
            ENV "OXSIM_FAULT=corrupt:oxclAllReduce:4" STATUS 1 OUT_HAS "${OX_FAILED}"
            ERR_HAS "index: 0, expect: 1, data: " "rank: 0, inplace: 1 thread_rank: 0")
# Expected values below zero (wrapped int8 and int16 sums, element 120 of four ranks) and every
# element type are checked, on every rank.
ox_run_test(NAME allreduce_corrupt_negative_expected
            ARGS "-n|1K|-x|1K|-d|1|-s|4|-t|int8|-z|inplace"
            ENV "OXSIM_FAULT=corrupt:oxclAllReduce:*:0:120" STATUS 1 OUT_HAS "${OX_FAILED}" ERRORS 1)
foreach(rank 0 3)
  ox_run_test(NAME allreduce_corrupt_all_types_rank${rank} ARGS "-n|1K|-x|1K|-d|1|-s|4|-t|all|-r|all"
              ENV "OXSIM_FAULT=corrupt:oxclAllReduce:*:${rank}:1000" STATUS 1 OUT_HAS "${OX_FAILED}"
              ROWS 44 ERRORS all)
endforeach()

# A failing collective ends the run with its message and status 1, with one thread and several.
foreach(threads 1 4)
  ox_run_test(NAME allreduce_call_fails_s${threads} ARGS "${OX_SMALL}|-s|${threads}"
              ENV "OXSIM_FAULT=oxclAllReduce:3" STATUS 1 ERR_HAS "error msg: internal error"
              OUT_LACKS "${OX_PASSED}")
endforeach()
ox_run_test(NAME allreduce_call_fails_queues ARGS "${OX_SMALL}|-s|2|-c|2|-y|1"
            ENV "OXSIM_FAULT=oxclAllReduce:7" STATUS 1 ERR_HAS "error msg: internal error"
            OUT_LACKS "${OX_PASSED}")

# One flipped bit is caught wherever the right answer is exact: the last bit of a float sum and
# of an int64 sum by default, of a float16 sum with BENCHMARK_CHECK_EXACT=1 (the default keeps
# the tolerance there); a dropped element (out of place: the zero from before the call) too.
set(OX_BIT0 "OXSIM_FAULT=corrupt:oxclAllReduce:*:1:5:bit=0")
ox_run_test(NAME allreduce_corrupt_bit0_float ARGS "-s|2|-d|1|-n|1K|-x|4K|-m|2" ENV "${OX_BIT0}"
            STATUS 1 OUT_HAS "${OX_FAILED}" ROWS 3 ERRORS all)
ox_run_test(NAME allreduce_corrupt_bit0_int64 ARGS "-s|2|-d|1|-n|1K|-x|4K|-m|2|-t|int64"
            ENV "${OX_BIT0}" STATUS 1 OUT_HAS "${OX_FAILED}" ROWS 3 ERRORS all)
ox_run_test(NAME allreduce_corrupt_bit0_float16_tolerated ARGS "-s|2|-d|1|-n|1K|-x|1K|-t|float16"
            ENV "${OX_BIT0}" STATUS 0 OUT_HAS "${OX_PASSED}" ERRORS 0)
ox_run_test(NAME allreduce_corrupt_bit0_float16_exact
            ARGS "-s|2|-d|1|-n|1K|-x|1K|-t|float16,float|-r|sum,prod"
            ENV "BENCHMARK_CHECK_EXACT=1|${OX_BIT0}" STATUS 1 OUT_HAS "${OX_FAILED}"
            ERR_HAS "BENCHMARK_CHECK_EXACT=1: every row is checked bit for bit except float16 prod, float prod at 2 ranks")
ox_run_test(NAME allreduce_corrupt_drop ARGS "-s|2|-d|1|-n|1K|-x|1K|-z|outofplace"
            ENV "OXSIM_FAULT=corrupt:oxclAllReduce:*:1:5:drop" STATUS 1 OUT_HAS "${OX_FAILED}"
            ERRORS all)
ox_run_test(NAME allreduce_check_exact_refused ARGS "${OX_SMALL}" ENV "BENCHMARK_CHECK_EXACT=yes"
            STATUS 1 ERR_HAS "BENCHMARK_CHECK_EXACT=yes is not supported" OUT_LACKS "${OX_PASSED}")
