# The reducing collectives' element check.
ox_add_gtest(test_element_check SOURCES test_element_check.cpp LIBS benchcore)
# The fast paths of the fill and the check, through the collectives' own templates.
ox_add_gtest(test_check_kernels SOURCES test_check_kernels.cpp LIBS collectives)
