set(TEST_LIBS "")
