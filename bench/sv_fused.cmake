nivra_add_bench(sv_fused_bench nivra_sv ${CMAKE_CURRENT_SOURCE_DIR}/sv_fused_bench.cc)
