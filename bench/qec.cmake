nivra_add_bench(qec_bench nivra_qec ${CMAKE_CURRENT_SOURCE_DIR}/qec_bench.cc)
target_compile_definitions(qec_bench PRIVATE NIVRA_TESTDATA_DIR="${NIVRA_TESTDATA_DIR}")
