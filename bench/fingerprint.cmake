# Block-fingerprint throughput per SHA-1 path, plus sketch offers when that
# benchmark's source is present.
set(DZ_FINGERPRINT_BENCH_SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_fingerprint.cc)
if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/bench_sketch_offers.cc)
  list(APPEND DZ_FINGERPRINT_BENCH_SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_sketch_offers.cc)
endif()
add_executable(bench_fingerprint ${DZ_FINGERPRINT_BENCH_SOURCES})
# benchmark_main is a static archive: its main() is only pulled in when no
# source defines one.
target_link_libraries(bench_fingerprint PRIVATE dz_sketch benchmark::benchmark benchmark::benchmark_main)
dz_warnings(bench_fingerprint)
set_target_properties(bench_fingerprint PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
