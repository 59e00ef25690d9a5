set(TEST_LIBS korv_results)
