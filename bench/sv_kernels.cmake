nivra_add_bench(sv_kernels_bench nivra_sv ${CMAKE_CURRENT_SOURCE_DIR}/sv_kernels_bench.cc)
