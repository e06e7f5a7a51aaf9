# The throughput cap (--maxMBPs) over whole scans: a plain program, not a
# Google benchmark, since it measures one long run per cap.
add_executable(bench_throttle ${CMAKE_CURRENT_LIST_DIR}/bench_throttle.cc)
target_link_libraries(bench_throttle PRIVATE dz_runcontrol)
set_target_properties(bench_throttle PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
dz_warnings(bench_throttle)
