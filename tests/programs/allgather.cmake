# bench-allgather end to end on the simulator (helpers and shorthands from allreduce.cmake). Its
# table has no redop column, so the first error column is field 6.
set(OX_GATHER_TYPES "${OX_SMALL}|-t|all")

# Every type, both modes: 11 types x 3 counts rows, no mismatch.
foreach(shape "1" "3" "2|-c|2|-y|1")
  string(REPLACE "|" "_" tag "${shape}")
  ox_run_test(NAME allgather_all_types_s${tag} PROG bench-allgather
              ARGS "${OX_GATHER_TYPES}|-s|${shape}" STATUS 0 OUT_HAS "${OX_PASSED}" ROWS 33
              ERRORS 0 ERR_FIRST 6)
endforeach()
foreach(v "-z|inplace" "-z|outofplace" "-f|1")
  string(REGEX REPLACE "[|-]+" "_" tag "${v}")
  ox_run_test(NAME allgather_option${tag} PROG bench-allgather ARGS "${OX_GATHER_TYPES}|-s|3|${v}"
              STATUS 0 OUT_HAS "${OX_PASSED}" ERRORS 0 ERR_FIRST 6)
endforeach()
# Three ranks and 1K elements: blocks of 341, so the bytes column is 3 x 341 x 4.
ox_run_test(NAME allgather_remainder_dropped PROG bench-allgather
            ARGS "-n|1K|-x|1K|-d|1|-s|3|-t|int32" STATUS 0
            OUT_HAS "         4092         341 " "${OX_PASSED}" ROWS 1 ERRORS 0 ERR_FIRST 6)
ox_run_test(NAME allgather_count_below_ranks PROG bench-allgather ARGS "-n|3|-x|3|-d|1|-s|4"
            STATUS 0 OUT_HAS "            0           0 " "${OX_PASSED}" ROWS 1 ERRORS 0
            ERR_FIRST 6)

# Block 2 of three blocks of 10 lies at elements 20 to 29 and holds 3, 4, ... out of place and
# 2, 3, ... in place; one wrong element is one mismatch line and an error total of 1.
foreach(mode inplace outofplace)
  if(mode STREQUAL "inplace")
    set(want "index: 20, expect: 2, data: ")
    set(flag 1)
  else()
    set(want "index: 20, expect: 3, data: ")
    set(flag 0)
  endif()
  ox_run_test(NAME allgather_corrupt_block_${mode} PROG bench-allgather
              ARGS "-n|30|-x|30|-d|1|-s|3|-t|int32|-z|${mode}|-v"
              ENV "OXSIM_FAULT=corrupt:oxclAllGather:*:0:20" STATUS 1 OUT_HAS "${OX_FAILED}"
              "        1  " ERR_HAS "${want}" "rank: 0, inplace: ${flag} thread_rank: 0"
              ERRORS 1 ERR_FIRST 6)
endforeach()
foreach(rank 0 3)
  ox_run_test(NAME allgather_corrupt_all_types_rank${rank} PROG bench-allgather
              ARGS "-n|4K|-x|4K|-d|1|-s|4|-t|all"
              ENV "OXSIM_FAULT=corrupt:oxclAllGather:*:${rank}:4000" STATUS 1
              OUT_HAS "${OX_FAILED}" ROWS 11 ERRORS all ERR_FIRST 6)
endforeach()

ox_run_test(NAME allgather_call_fails PROG bench-allgather ARGS "${OX_SMALL}|-s|2|-c|2|-y|1"
            ENV "OXSIM_FAULT=oxclAllGather:5" STATUS 1 ERR_HAS "error msg: internal error"
            OUT_LACKS "${OX_PASSED}")
# Gathered data is only moved: the last bit of a float element is caught.
ox_run_test(NAME allgather_corrupt_bit0_float PROG bench-allgather
            ARGS "-s|2|-d|1|-n|1K|-x|4K|-m|2"
            ENV "OXSIM_FAULT=corrupt:oxclAllGather:*:1:5:bit=0" STATUS 1 OUT_HAS "${OX_FAILED}"
            ROWS 3 ERRORS all)
