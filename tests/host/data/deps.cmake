set(TEST_LIBS korv_runtime)
