set(TEST_LIBS korv_homogeneity)
