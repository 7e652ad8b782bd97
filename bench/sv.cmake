nivra_add_bench(sv_bench nivra_sv ${CMAKE_CURRENT_SOURCE_DIR}/sv_bench.cc)
