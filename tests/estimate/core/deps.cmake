set(TEST_LIBS korv_estimate korv_runtime)
