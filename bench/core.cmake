nivra_add_bench(core_bench nivra_core ${CMAKE_CURRENT_SOURCE_DIR}/core_bench.cc)
