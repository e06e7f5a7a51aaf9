#!/usr/bin/env bash
# Merge of 200 full-scan sketch files of 50000 entries each: wall-clock time,
# CPU time and peak memory, with and without mergeall (which has every input
# reported on its own first). Then the comparison of the sources: 100 files
# of 50000 entries (4950 pairs) merged plainly, with --json (every pair and
# the blocks only in each) and with --json --groups 10 (greedy grouping);
# the comparison should add at most 10 s and 64 MiB to the plain merge.
#
#   bench/merge.sh [build-dir]        (default: build)
#
# The inputs are generated once by mksketch and kept under
# <build-dir>/bench-data/merge-200x50000 (or $DZ_BENCH_DATA). One sketch of
# 50000 entries takes about 10 MiB in memory; the merge should stay near that.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
data=${DZ_BENCH_DATA:-$build/bench-data}/merge-200x50000
files=200
entries=50000

for tool in "$build/mksketch" "$build/dezevazir"; do
  [ -x "$tool" ] || { echo "missing $tool: build it first" >&2; exit 1; }
done
[ -x /usr/bin/time ] || { echo "missing /usr/bin/time (apt-get install time)" >&2; exit 1; }

if [ ! -f "$data/.complete" ]; then
  echo "generating $files sketch files of $entries entries in $data ..."
  rm -rf "$data"
  mkdir -p "$data"
  "$build/mksketch" --out "$data" --files "$files" --entries "$entries" --seed 11 > /dev/null
  touch "$data/.complete"
fi
inputs=$(ls "$data"/sketch_*.dat | paste -sd, -)

# The inputs are read from the page cache, as after a first run.
cat "$data"/sketch_*.dat > /dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

run() {
  local name=$1
  local inputs=$2
  shift 2
  local status=0
  # A fresh working directory keeps the run log out of the tree.
  (cd "$work" && /usr/bin/time -v -o "$work/$name.time" "$build/dezevazir" merge --mergefiles "$inputs" \
    --sketch "$work/$name.out" "$@" > "$work/$name.stdout" 2> "$work/$name.stderr") || status=$?
  if [ "$status" -ne 0 ]; then
    echo "$name failed with status $status" >&2
    cat "$work/$name.stderr" >&2
    exit 1
  fi
  awk -F': ' -v name="$name" '
    /Elapsed \(wall clock\)/ { wall = $2 }
    /User time/ { user = $2 }
    /System time/ { sys = $2 }
    /Maximum resident set size/ { rss = $2 }
    END { printf "%-9s wall %s  cpu %.2f s  peak memory %.1f MiB\n", name ":", wall, user + sys, rss / 1024 }
  ' "$work/$name.time"
}

echo "inputs: $files files x $entries entries ($(du -sh "$data" | cut -f1))"
run merge "$inputs"
run mergeall "$inputs" --mergeall
echo "merged sketch: $(sed -n 3p "$work/merge.out")"
echo "merge report:"
grep -v '^\s*$' "$work/merge.stdout" | sed 's/^/         /'

pairs_data=${DZ_BENCH_DATA:-$build/bench-data}/merge-100x50000
if [ ! -f "$pairs_data/.complete" ]; then
  echo "generating 100 sketch files of $entries entries in $pairs_data ..."
  rm -rf "$pairs_data"
  mkdir -p "$pairs_data"
  "$build/mksketch" --out "$pairs_data" --files 100 --entries "$entries" --seed 12 > /dev/null
  touch "$pairs_data/.complete"
fi
cat "$pairs_data"/sketch_*.dat > /dev/null
pairs_inputs=$(ls "$pairs_data"/sketch_*.dat | paste -sd, -)
echo "comparing the sources: 100 files x $entries entries (4950 pairs)"
# Alternating runs, as other work on the machine disturbs single figures.
for round in 1 2; do
  run plain100 "$pairs_inputs"
  run pairs100 "$pairs_inputs" --json
  run groups100 "$pairs_inputs" --json --groups 10
done
echo "pairs in the JSON report: $(grep -o '"shared_blocks":' "$work/pairs100.stdout" | wc -l)"
grep -o '"groups_search":"[a-z]*"' "$work/groups100.stdout" || true
