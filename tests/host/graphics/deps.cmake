set(TEST_LIBS korv_host)
