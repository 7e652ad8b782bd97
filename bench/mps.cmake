nivra_add_bench(mps_bench nivra_mps ${CMAKE_CURRENT_SOURCE_DIR}/mps_bench.cc)
