set(TEST_LIBS korv_estimate)
