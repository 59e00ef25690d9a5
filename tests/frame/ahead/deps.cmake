set(TEST_LIBS korv_common)
