set(TEST_LIBS korv_frame)
