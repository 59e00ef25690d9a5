set(TEST_LIBS korv_homogeneity korv_results korv_frame korv_common korv_lpplot korv_mcomp korv_numeric korv_runtime korv_host_output
    korv_host_data korv_host_messages korv_host_session korv_host_files korv_host_kernel
    korv_host_parse)
