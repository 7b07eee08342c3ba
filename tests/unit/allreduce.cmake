# The reducing collectives' element check.
ox_add_gtest(test_element_check SOURCES test_element_check.cpp LIBS benchcore)
