set(TEST_LIBS korv_devplot)
