# The edges of a run: outputs that cannot be written, library queries that fail, and the Error
# line that names a failed call.
foreach(case record-target write-errors memory-shared)
  add_test(NAME outputs_${case} COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/outputs.sh ${case}
           $<TARGET_FILE:bench-allreduce> ${CMAKE_CURRENT_BINARY_DIR}/outputs_${case})
  set_tests_properties(outputs_${case} PROPERTIES TIMEOUT 150)
endforeach()

# A query that fails ends the run with the library's error instead of passing on a made-up
# answer (no cards, no card name).
ox_run_test(NAME edge_failed_device_count ARGS "${OX_SMALL}" ENV "OXSIM_FAULT=oxrtGetDeviceCount:1"
            STATUS 1 ERR_HAS "OXRT error msg: " "Failed call: oxrtGetDeviceCount"
            OUT_LACKS "${OX_PASSED}")
ox_run_test(NAME edge_failed_card_name ARGS "${OX_SMALL}"
            ENV "OXSIM_FAULT=oxdevGetCardNameStringByDevId:1" STATUS 1
            ERR_HAS "OXDEV error, msg: no card name" OUT_LACKS "${OX_PASSED}")
ox_run_test(NAME edge_failed_lib_version ARGS "${OX_SMALL}" ENV "OXSIM_FAULT=oxrtGetLibVersion:1"
            STATUS 1 ERR_HAS "Failed call: oxrtGetLibVersion" OUT_LACKS "${OX_PASSED}")

# The failed call is named with the arguments that tell one call from another; the library's
# own line stays as it was.
ox_run_test(NAME edge_named_collective ARGS "${OX_SMALL}" ENV "OXSIM_FAULT=oxclAllReduce:1"
            STATUS 1 ERR_HAS "error msg: internal error"
            "Failed call: oxclAllReduce(card 0, rank 0, count 16384, type float, op sum, in place)")
ox_run_test(NAME edge_named_malloc ARGS "${OX_SMALL}" ENV "OXSIM_FAULT=oxrtMalloc:2"
            STATUS 1 ERR_HAS "OXRT error msg: " "Failed call: oxrtMalloc(card 0, 65536 bytes)")
ox_run_test(NAME edge_named_init_comms ARGS "${OX_SMALL}|-s|2" ENV "OXSIM_FAULT=oxclInitComms:1"
            STATUS 1 OUT_HAS "OXCL error, msg: internal error"
            ERR_HAS "Failed call: oxclInitComms(2 communicators, ranks from 0 of 2, cards 0,1)")
