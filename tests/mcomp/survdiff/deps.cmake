set(TEST_LIBS korv_mcomp korv_results)
