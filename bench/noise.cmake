nivra_add_bench(noise_bench nivra_sv_noise ${CMAKE_CURRENT_SOURCE_DIR}/noise_bench.cc)
