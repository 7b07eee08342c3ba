# Framework tests: the thread record and the run context.
ox_add_gtest(test_threadinfo SOURCES test_threadinfo.cpp LIBS benchcore)
# The memory usage report, against the simulator's card memory. The stand-in collective library
# comes first on the search path, so the link memory it reports is a known figure.
if(OX_SIM_TESTS)
  ox_add_gtest(test_dump_param SOURCES test_dump_param.cpp LIBS benchcore
               ENV LD_LIBRARY_PATH=${OX_FAKE_OXCL_ROOT}/full)
  add_dependencies(test_dump_param fake_oxcl_full)
endif()
# The watchdog of BENCHMARK_TIMEOUT_S and the progress lines.
ox_add_gtest(test_watchdog SOURCES test_watchdog.cpp LIBS benchcore)
# The run record: its JSON text, the atomic write, one run through the hooks.
ox_add_gtest(test_record SOURCES test_record.cpp LIBS benchcore)
# Repeated timed blocks: BENCHMARK_REPEAT, the median block, the statistics, the noise warning.
ox_add_gtest(test_samples SOURCES test_samples.cpp LIBS benchcore)
