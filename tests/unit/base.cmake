# base tests: logging, element types, thread pool, run-time binding.
ox_add_gtest(test_log SOURCES test_log.cpp LIBS benchcore)
ox_add_gtest(test_datatype SOURCES test_datatype.cpp LIBS benchcore)
ox_add_gtest(test_threadpool SOURCES test_threadpool.cpp LIBS benchcore)
# The pool's races show up only now and then: run the whole suite many times (under the
# ThreadSanitizer build too).
add_test(NAME ThreadPoolRepeated COMMAND test_threadpool --gtest_repeat=100
                                         --gtest_break_on_failure)
set_tests_properties(ThreadPoolRepeated PROPERTIES TIMEOUT 300)

add_subdirectory(dl)
ox_add_gtest(test_dl_wrapper SOURCES test_dl_wrapper.cpp LIBS benchcore)
target_compile_definitions(test_dl_wrapper PRIVATE
                           OX_DL_PROBE="$<TARGET_FILE:oxcl_dl_probe>"
                           OX_FAKE_OXCL_ROOT="${OX_FAKE_OXCL_ROOT}")
add_dependencies(test_dl_wrapper oxcl_dl_probe)
