# Command-line parser tests.
ox_add_gtest(test_argument SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_argument.cpp LIBS benchcore)
target_compile_definitions(test_argument PRIVATE
                           OX_GOLDEN_DIR="${CMAKE_CURRENT_SOURCE_DIR}/../golden")
