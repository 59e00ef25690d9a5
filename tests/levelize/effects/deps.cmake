set(TEST_LIBS korv_levelize)
