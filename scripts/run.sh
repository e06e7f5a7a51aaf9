#!/usr/bin/env bash
# Builds the tool and runs the main job: a full scan of the device or file
# named as the first argument, or, when none is named, of a generated sample
# image (build/sample.img, 1 GiB with a known mix of data) whose ground truth
# is printed first. The sketch file and run log are written to build/run/.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build -G Ninja
ninja -C build dezevazir mksample

mkdir -p build/run
if [ $# -ge 1 ]; then
  source_path=$(realpath "$1")
else
  source_path=$PWD/build/sample.img
  if [ ! -f "$source_path" ]; then
    build/mksample --size 1G --seed 42 --out "$source_path" > build/sample.truth
  fi
  echo "Sample image $source_path, ground truth:"
  cat build/sample.truth
  echo
fi
cd build/run
../dezevazir scan --input "$source_path"
