#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang in build-fuzz/ and
# runs each for the given number of seconds (default 60), starting from its
# seed corpus in tests/fuzz/corpus/<target>/. Inputs the fuzzer finds are
# kept in build-fuzz/corpus/<target>/ (the seed corpus is only read); an
# input that crashes a target is saved as build-fuzz/findings/<target>-crash-*.
# Every target runs even after one fails; the status is non-zero when any
# crashed. FUZZ_ARGS adds libFuzzer options, e.g.
# FUZZ_ARGS="-fork=1 -ignore_crashes=1" to go on fuzzing after a crash.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
targets=(fuzz_sketch_file fuzz_command_line fuzz_text_number)

cmake -S . -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DDZ_FUZZ=ON -DDZ_BUILD_TESTS=OFF -DDZ_BUILD_BENCH=OFF
ninja -C build-fuzz -j 2 "${targets[@]}"

mkdir -p build-fuzz/findings
# Inputs saved for a target so far: in fork mode libFuzzer may end with
# status 0 after crashes, so new inputs count as a crash too.
saved() { find build-fuzz/findings -name "$1-*" | wc -l; }

failed=()
for t in "${targets[@]}"; do
  mkdir -p "build-fuzz/corpus/$t"
  args=(-max_total_time="$seconds" -timeout=30 -print_final_stats=1
        -artifact_prefix="build-fuzz/findings/$t-")
  if [ -f "tests/fuzz/$t.dict" ]; then args+=(-dict="tests/fuzz/$t.dict"); fi
  # shellcheck disable=SC2206
  args+=(${FUZZ_ARGS:-})
  echo "== $t for ${seconds}s"
  before=$(saved "$t")
  if ! "build-fuzz/tests/fuzz/$t" "${args[@]}" "build-fuzz/corpus/$t" "tests/fuzz/corpus/$t" ||
     [ "$(saved "$t")" -ne "$before" ]; then
    failed+=("$t")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "Crashed: ${failed[*]} (inputs in build-fuzz/findings/)" >&2
  exit 1
fi
echo "No crashes."
