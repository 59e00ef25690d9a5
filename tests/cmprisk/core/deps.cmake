set(TEST_LIBS korv_cmprisk)
