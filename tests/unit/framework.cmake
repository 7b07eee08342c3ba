# Framework tests: the thread record and the run context.
ox_add_gtest(test_threadinfo SOURCES test_threadinfo.cpp LIBS benchcore)
