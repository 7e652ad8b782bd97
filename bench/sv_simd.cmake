nivra_add_bench(sv_simd_bench nivra_sv ${CMAKE_CURRENT_SOURCE_DIR}/sv_simd_bench.cc)
