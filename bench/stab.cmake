nivra_add_bench(stab_bench nivra_stab ${CMAKE_CURRENT_SOURCE_DIR}/stab_bench.cc)
