nivra_add_bench(gate_bench nivra_core ${CMAKE_CURRENT_SOURCE_DIR}/gate_bench.cc)
