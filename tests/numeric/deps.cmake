set(TEST_LIBS korv_numeric korv_runtime)
