# Collective framework tests: the count series and offsets, expected reduction values, the table
# and its rates.
ox_add_gtest(test_count_series SOURCES test_count_series.cpp LIBS benchcore)
ox_add_gtest(test_init_reduce SOURCES test_init_reduce.cpp LIBS benchcore)
ox_add_gtest(test_table SOURCES test_table.cpp LIBS benchcore)
# The bandwidths of each collective's rows.
ox_add_gtest(test_data_rate SOURCES test_data_rate.cpp LIBS collectives)
