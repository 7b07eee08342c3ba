# bench-reducescatter end to end on the simulator (helpers and shorthands from allreduce.cmake).

# Every type and operation, both modes: 11 types x 4 operations x 3 counts rows, no mismatch.
foreach(shape "1" "2" "4" "2|-c|2|-y|1")
  string(REPLACE "|" "_" tag "${shape}")
  ox_run_test(NAME reducescatter_all_types_s${tag} PROG bench-reducescatter
              ARGS "${OX_ALL_TYPES}|-s|${shape}" STATUS 0 OUT_HAS "${OX_PASSED}" ROWS 132 ERRORS 0)
endforeach()
foreach(v "-z|inplace" "-z|outofplace" "-f|1")
  string(REGEX REPLACE "[|-]+" "_" tag "${v}")
  ox_run_test(NAME reducescatter_option${tag} PROG bench-reducescatter
              ARGS "${OX_ALL_TYPES}|-s|3|${v}" STATUS 0 OUT_HAS "${OX_PASSED}" ERRORS 0)
endforeach()
# Four ranks and 10 elements: slices of 2, so 8 elements (32 bytes) sent per rank.
ox_run_test(NAME reducescatter_remainder_dropped PROG bench-reducescatter
            ARGS "-n|10|-x|10|-d|1|-s|4|-t|int32" STATUS 0
            OUT_HAS "           32           2 " "${OX_PASSED}" ROWS 1 ERRORS 0)
# Fewer elements than ranks: empty slices, the call still made, nothing checked.
ox_run_test(NAME reducescatter_count_below_ranks PROG bench-reducescatter
            ARGS "-n|3|-x|3|-d|1|-s|4" STATUS 0 OUT_HAS "            0           0 " "${OX_PASSED}"
            ROWS 1 ERRORS 0)

# The in-place slice of rank 1 of two, 5 elements: its first element is f(5) + f(6) = 11.
ox_run_test(NAME reducescatter_corrupt_inplace_slice PROG bench-reducescatter
            ARGS "-n|10|-x|10|-d|1|-s|2|-t|int32|-r|sum|-z|inplace|-v"
            ENV "OXSIM_FAULT=corrupt:oxclReduceScatter:*:1:0" STATUS 1 OUT_HAS "${OX_FAILED}"
            ERR_HAS "index: 0, expect: 11, data: " "rank: 1, inplace: 1" ERRORS 1)
# Out of place the pattern is one further on: the last element of rank 2 of three, 4 elements
# each, is f(12) + f(13) + f(14) = 39.
ox_run_test(NAME reducescatter_corrupt_outofplace_slice PROG bench-reducescatter
            ARGS "-n|12|-x|12|-d|1|-s|3|-t|int32|-r|sum|-z|outofplace|-v"
            ENV "OXSIM_FAULT=corrupt:oxclReduceScatter:*:2:3" STATUS 1 OUT_HAS "${OX_FAILED}"
            ERR_HAS "index: 3, expect: 39, data: " "rank: 2, inplace: 0" ERRORS 1)
foreach(rank 0 3)
  ox_run_test(NAME reducescatter_corrupt_all_types_rank${rank} PROG bench-reducescatter
              ARGS "-n|4K|-x|4K|-d|1|-s|4|-t|all|-r|all"
              ENV "OXSIM_FAULT=corrupt:oxclReduceScatter:*:${rank}:1000" STATUS 1
              OUT_HAS "${OX_FAILED}" ROWS 44 ERRORS all)
endforeach()

# A failing collective ends the run with its message and status 1.
ox_run_test(NAME reducescatter_call_fails PROG bench-reducescatter ARGS "${OX_SMALL}|-s|2|-c|2|-y|1"
            ENV "OXSIM_FAULT=oxclReduceScatter:5" STATUS 1 ERR_HAS "error msg: internal error"
            OUT_LACKS "${OX_PASSED}")
