set(TEST_LIBS korv_homogeneity korv_numeric korv_runtime)
