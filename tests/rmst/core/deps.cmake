set(TEST_LIBS korv_rmst)
