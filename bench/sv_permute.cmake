nivra_add_bench(sv_permute_bench nivra_sv ${CMAKE_CURRENT_SOURCE_DIR}/sv_permute_bench.cc)
