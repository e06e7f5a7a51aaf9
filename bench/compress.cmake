# Block compressor throughput, beside the system zlib at level 1 on the same
# blocks (zlib is linked into this benchmark only, never into the product).
find_package(ZLIB REQUIRED)
add_executable(bench_compress
  ${CMAKE_CURRENT_LIST_DIR}/bench_compress.cc
  ${PROJECT_SOURCE_DIR}/tests/compress/zlib_oracle.cc)
target_include_directories(bench_compress PRIVATE ${PROJECT_SOURCE_DIR}/tests/compress)
target_link_libraries(bench_compress PRIVATE dz_compress dz_base benchmark::benchmark ZLIB::ZLIB)
set_target_properties(bench_compress PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
dz_warnings(bench_compress)
