nivra_add_bench(qec_bp_bench nivra_qec ${CMAKE_CURRENT_SOURCE_DIR}/qec_bp_bench.cc)
