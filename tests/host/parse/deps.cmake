set(TEST_LIBS korv_host_parse korv_frame)
