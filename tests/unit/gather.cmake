# The all-gather and all-to-all patterns and their exact check.
ox_add_gtest(test_gather_patterns SOURCES test_gather_patterns.cpp LIBS benchcore)
