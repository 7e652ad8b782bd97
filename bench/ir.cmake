nivra_add_bench(ir_bench nivra_ir ${CMAKE_CURRENT_SOURCE_DIR}/ir_bench.cc)
