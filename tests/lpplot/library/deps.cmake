set(TEST_LIBS korv_lpplot)
