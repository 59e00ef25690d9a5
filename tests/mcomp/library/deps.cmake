set(TEST_LIBS korv_mcomp)
