# bench-alltoall end to end on the simulator (helpers and shorthands from allreduce.cmake); no
# redop column, so the first error column is field 6.
set(OX_A2A_TYPES "${OX_SMALL}|-t|all")
set(OX_LEGACY "LD_LIBRARY_PATH=${CMAKE_BINARY_DIR}/lib/legacy")

# Every type, both modes, through each interface.
foreach(shape "1" "3" "2|-c|2|-y|1")
  string(REPLACE "|" "_" tag "${shape}")
  foreach(api alltoallv alltoall group)
    ox_run_test(NAME alltoall_${api}_all_types_s${tag} PROG bench-alltoall
                ARGS "${OX_A2A_TYPES}|-s|${shape}" ENV "BENCHMARK_ALLTOALL_API=${api}" STATUS 0
                OUT_HAS "${OX_PASSED}" ROWS 33 ERRORS 0 ERR_FIRST 6)
  endforeach()
endforeach()
foreach(v "-z|inplace" "-z|outofplace" "-f|1")
  string(REGEX REPLACE "[|-]+" "_" tag "${v}")
  ox_run_test(NAME alltoall_option${tag} PROG bench-alltoall ARGS "${OX_A2A_TYPES}|-s|3|${v}"
              STATUS 0 OUT_HAS "${OX_PASSED}" ERRORS 0 ERR_FIRST 6)
endforeach()
ox_run_test(NAME alltoall_count_below_ranks PROG bench-alltoall ARGS "-n|3|-x|3|-d|1|-s|4"
            ENV "BENCHMARK_ALLTOALL_API=group" STATUS 0
            OUT_HAS "            0            0 " "${OX_PASSED}" ROWS 1 ERRORS 0 ERR_FIRST 6)

# The interface word: each known one is announced, an unknown one warned about and replaced.
# An empty word is the same as none.
foreach(case "group|Run Group Send/Recv" "alltoall|Run oxclAlltoAll " "empty|Run oxclAlltoAllv"
             "scatter|Not supported BENCHMARK_ALLTOALL_API env value")
  string(REPLACE "|" ";" case "${case}")
  list(GET case 0 word)
  list(GET case 1 text)
  set(value ${word})
  if(word STREQUAL "empty")
    set(value "")
  endif()
  ox_run_test(NAME alltoall_api_${word} PROG bench-alltoall ARGS "-n|1K|-x|1K|-d|1|-s|2|-v"
              ENV "BENCHMARK_ALLTOALL_API=${value}" STATUS 0 ERR_HAS "${text}"
              OUT_HAS "${OX_PASSED}" ERRORS 0 ERR_FIRST 6)
endforeach()
# An older library lacks the plain all-to-all and the groups: the run ends with the version it
# needs; the all-to-all-v interface still runs.
ox_run_test(NAME alltoall_legacy_alltoall PROG bench-alltoall ARGS "-n|1K|-x|1K|-d|1|-s|2"
            ENV "${OX_LEGACY}|BENCHMARK_ALLTOALL_API=alltoall" STATUS 1
            ERR_HAS "if you want to test alltoall" "oxclAlltoAll return error or load symbol error"
            OUT_LACKS "${OX_PASSED}")
ox_run_test(NAME alltoall_legacy_group PROG bench-alltoall ARGS "-n|1K|-x|1K|-d|1|-s|2"
            ENV "${OX_LEGACY}|BENCHMARK_ALLTOALL_API=group" STATUS 1
            ERR_HAS "if you want to test group" "oxclGroupStart return error or load symbol error"
            OUT_LACKS "${OX_PASSED}")
ox_run_test(NAME alltoall_legacy_alltoallv PROG bench-alltoall ARGS "-n|1K|-x|1K|-d|1|-s|2"
            ENV "${OX_LEGACY}" STATUS 0 OUT_HAS "${OX_PASSED}" ERRORS 0 ERR_FIRST 6)

# Rank 1 of two, blocks of 3, out of place: it expects 4, 5, 6 from rank 0 and 5, 6, 7 from
# itself.
foreach(at "0|4" "3|5" "5|7")
  string(REPLACE "|" ";" at "${at}")
  list(GET at 0 index)
  list(GET at 1 value)
  ox_run_test(NAME alltoall_corrupt_block_element${index} PROG bench-alltoall
              ARGS "-n|6|-x|6|-d|1|-s|2|-t|int32|-z|outofplace|-v"
              ENV "OXSIM_FAULT=corrupt:oxclAlltoAllv:*:1:${index}" STATUS 1 OUT_HAS "${OX_FAILED}"
              ERR_HAS "index: ${index}, expect: ${value}, data: " "rank: 1, inplace: 0"
              ERRORS 1 ERR_FIRST 6)
endforeach()
# Every type on every interface; int8 element 200 expects a negative value (201 - 256).
foreach(api alltoallv alltoall group)
  if(api STREQUAL "alltoallv")
    set(call oxclAlltoAllv)
  elseif(api STREQUAL "alltoall")
    set(call oxclAlltoAll)
  else()
    set(call oxclRecv)
  endif()
  ox_run_test(NAME alltoall_corrupt_all_types_${api} PROG bench-alltoall
              ARGS "-n|1K|-x|1K|-d|1|-s|4|-t|all|-z|outofplace"
              ENV "BENCHMARK_ALLTOALL_API=${api}|OXSIM_FAULT=corrupt:${call}:*:3:200" STATUS 1
              OUT_HAS "${OX_FAILED}" ROWS 11 ERRORS all ERR_FIRST 6)
endforeach()
# In place is compared as well, and the mismatch line says which mode it was.
ox_run_test(NAME alltoall_inplace_checked PROG bench-alltoall
            ARGS "-n|1K|-x|1K|-d|1|-s|2|-z|inplace|-v"
            ENV "OXSIM_FAULT=corrupt:oxclAlltoAllv:*:0:5" STATUS 1 OUT_HAS "${OX_FAILED}"
            ERR_HAS "index: 5, expect: " "rank: 0, inplace: 1" ERRORS 1 ERR_FIRST 6)

# Failing calls end the run with status 1, whichever interface made them. (Only the library's
# text is sure to be logged: the process may end before the line naming the call.)
foreach(case "alltoallv|oxclAlltoAllv:3|error msg: internal error"
             "alltoall|oxclAlltoAll:3|error msg: internal error"
             "group|oxclSend:4|error msg: internal error"
             "group|oxclRecv:4|error msg: internal error"
             "group|oxclGroupEnd:2|error msg: internal error")
  string(REPLACE "|" ";" case "${case}")
  list(GET case 0 api)
  list(GET case 1 fault)
  list(GET case 2 text)
  string(REGEX REPLACE ":.*" "" call "${fault}")
  ox_run_test(NAME alltoall_call_fails_${call} PROG bench-alltoall
              ARGS "${OX_SMALL}|-s|2|-c|2|-y|1"
              ENV "BENCHMARK_ALLTOALL_API=${api}|OXSIM_FAULT=${fault}" STATUS 1 ERR_HAS "${text}"
              OUT_LACKS "${OX_PASSED}")
endforeach()
# The rank count query failing is reported on standard output.
ox_run_test(NAME alltoall_comm_count_fails PROG bench-alltoall ARGS "-n|1K|-x|1K|-d|1|-s|2"
            ENV "OXSIM_FAULT=oxclGetCommCount:2" STATUS 1 OUT_HAS "OXCL error, msg: internal error"
            OUT_LACKS "${OX_PASSED}")
# Received data is only moved: the last bit of a float16 element is caught.
ox_run_test(NAME alltoall_corrupt_bit0_float16 PROG bench-alltoall
            ARGS "-s|2|-d|1|-n|1K|-x|4K|-m|2|-t|float16"
            ENV "OXSIM_FAULT=corrupt:oxclAlltoAllv:*:1:5:bit=0" STATUS 1 OUT_HAS "${OX_FAILED}"
            ROWS 3 ERRORS all)
