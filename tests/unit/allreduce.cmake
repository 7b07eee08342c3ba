# The reducing collectives' element check.
ox_add_gtest(test_element_check SOURCES test_element_check.cpp LIBS benchcore)
# The fast paths of the fill and the check, through the collectives' own templates.
ox_add_gtest(test_check_kernels SOURCES test_check_kernels.cpp ${PROJECT_SOURCE_DIR}/src/allreduce.cpp
             ${PROJECT_SOURCE_DIR}/src/reducescatter.cpp ${PROJECT_SOURCE_DIR}/src/allgather.cpp
             ${PROJECT_SOURCE_DIR}/src/alltoall.cpp
             LIBS benchcore)
target_compile_definitions(test_check_kernels PRIVATE OXCL_BENCHMARK_ALLREDUCE_BASE_ONLY)
