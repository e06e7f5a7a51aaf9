# The scan's hash stage alone (hash workers, sketch offers, request
# hand-back) with 1, 2, 4 and 10 workers on the same blocks.
add_executable(bench_hash_stage ${CMAKE_CURRENT_LIST_DIR}/bench_hash_stage.cc)
target_link_libraries(bench_hash_stage PRIVATE dz_scan benchmark::benchmark benchmark::benchmark_main)
dz_warnings(bench_hash_stage)
set_target_properties(bench_hash_stage PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
