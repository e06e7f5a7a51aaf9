#!/usr/bin/env bash
# Builds from scratch and runs every test: a normal build in build/, an
# AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
# (benchmarks are built in the normal build only and not run). The normal
# build's tests include the release checks (manual page, completion, install,
# Debian package, playbook); the statically linked program is built in
# build-static/ and compared with the normal one. Stops at the first failure
# with a non-zero status.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
# A test that waits forever (a lost end-of-log marker, say) fails instead of
# stalling the run.
ctest_args=(--output-on-failure --timeout 300 -j "$jobs")

rm -rf build build-asan build-tsan build-static

cmake -S . -B build -G Ninja
ninja -C build
ctest --test-dir build "${ctest_args[@]}"

# Everything a fixed set of runs prints and writes, against the record.
bash scripts/golden.sh compare

bash scripts/static_check.sh

cmake -S . -B build-asan -G Ninja -DDZ_SANITIZE=address,undefined -DDZ_BUILD_BENCH=OFF
ninja -C build-asan
ctest --test-dir build-asan "${ctest_args[@]}"

# The pipeline's threads under ThreadSanitizer: the sketch's concurrent
# offers, and the scan, fault-injection, page-cache (reads in flight
# together) and partial-scan runs.
cmake -S . -B build-tsan -G Ninja -DDZ_SANITIZE=thread -DDZ_BUILD_BENCH=OFF
ninja -C build-tsan dc_kheap_test scan_cli_test scan_faults_test scan_page_cache_test partialscan_cli_test \
  interrupt_cli_test
ctest --test-dir build-tsan "${ctest_args[@]}" -R '(KHeap|ConcurrentOffers|^Scan|PageCache|PartialScanCli|Interrupt)'

# A short run of each fuzzer (clang, libFuzzer) on the sketch-file readers,
# the batch-line splitter and the number parsers.
bash scripts/fuzz.sh 60
