nivra_add_bench(qasm_bench nivra_qasm ${CMAKE_CURRENT_SOURCE_DIR}/qasm_bench.cc)
