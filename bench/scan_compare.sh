#!/usr/bin/env bash
# CPU seconds and wall-clock of a full scan of one page-cached mixed image,
# by this build's dezevazir and by another binary (an earlier build), run
# alternately, round after round, so that both see the same machine load.
# Checks that both write the same sketch file, the same report and the same
# run-log counters.
#
#   bench/scan_compare.sh OTHER-BINARY [build-dir]     (default: build)
#
# DZ_BENCH_SIZE: image size for mksample (default 8G); DZ_BENCH_ROUNDS
# (default 3); DZ_BENCH_DATA: where images are kept (default
# <build-dir>/bench-data). The image must fit in the page cache: the scan
# is to be bound by the CPU, not by the disk, and a run whose image was not
# all in the cache says so.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
other=${1:?usage: bench/scan_compare.sh OTHER-BINARY [build-dir]}
other=$(cd "$(dirname "$other")" && pwd)/$(basename "$other")
build=$(cd "${2:-$root/build}" && pwd)
size=${DZ_BENCH_SIZE:-8G}
rounds=${DZ_BENCH_ROUNDS:-3}
data=${DZ_BENCH_DATA:-$build/bench-data}
img=$data/mixed-$(echo "$size" | tr 'A-Z' 'a-z')-seed7.img
this=$build/dezevazir

for tool in "$build/mksample" "$this" "$other"; do
  [ -x "$tool" ] || { echo "missing $tool" >&2; exit 1; }
done
[ -x /usr/bin/time ] || { echo "missing /usr/bin/time (apt-get install time)" >&2; exit 1; }

mkdir -p "$data"
if [ ! -s "$img" ]; then
  echo "generating $img ..."
  "$build/mksample" --size "$size" --seed 7 --out "$img.part" > "$img.truth"
  mv "$img.part" "$img"
fi
bytes=$(stat -c %s "$img")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# One scan in a fresh directory; appends "wall user sys" to $work/<name>.times.
run() {
  local name=$1 bin=$2 dir
  dir=$(mktemp -d -p "$work")
  # The other helpers of the machine may have pushed the image out.
  cat "$img" > /dev/null
  local t0 t1
  t0=$(date +%s.%N)
  (cd "$dir" && /usr/bin/time -f '%U %S' -o "$dir/cpu" "$bin" scan --input "$img" --sketch "$dir/s.dat" \
    > "$dir/out.txt" 2> "$dir/err.txt") || { echo "$name: scan failed" >&2; cat "$dir/err.txt" >&2; exit 1; }
  t1=$(date +%s.%N)
  if ! grep -q 'from the page cache' "$dir/ridoriDozu.log"; then
    echo "$name: the image was not all in the page cache; its figures are disk-bound" >&2
  fi
  echo "$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }') $(cat "$dir/cpu")" >> "$work/$name.times"
  # What must not differ: the sketch file, the report (without the time it
  # took) and the counters of the run log's summary line.
  {
    md5sum < "$dir/s.dat"
    # (the progress bar's line shows a throughput that may differ)
    tr -d '\b' < "$dir/out.txt" | grep -v 'Time Consumed' | grep -v '\[' | md5sum
    grep -o 'number of SHA1.*' "$dir/ridoriDozu.log"
  } > "$dir/result"
  if [ -s "$work/result" ]; then
    cmp -s "$work/result" "$dir/result" || { echo "$name: result differs:" >&2; diff "$work/result" "$dir/result" >&2; exit 1; }
  else
    cp "$dir/result" "$work/result"
  fi
  rm -rf "$dir"
}

for ((r = 1; r <= rounds; r++)); do
  # Alternate which goes first, so neither always follows the other.
  if ((r % 2 == 1)); then run other "$other"; run this "$this"; else run this "$this"; run other "$other"; fi
done

# min and median of a column of numbers
stats() { sort -g | awk '{ v[NR] = $1 } END { m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; printf "%.2f %.2f\n", v[1], m }'; }

echo "image: $img ($bytes bytes), $rounds rounds, alternating"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores"
echo "identical sketch file, report and run-log counters: $(tail -1 "$work/result")"
printf '%-6s %22s %22s\n' "" "CPU s (min / median)" "wall s (min / median)"
for name in other this; do
  read -r cmin cmed < <(awk '{ print $2 + $3 }' "$work/$name.times" | stats)
  read -r wmin wmed < <(awk '{ print $1 }' "$work/$name.times" | stats)
  printf '%-6s %10s / %-10s %10s / %-10s\n' "$name" "$cmin" "$cmed" "$wmin" "$wmed"
  eval "${name}_cmin=$cmin ${name}_cmed=$cmed ${name}_wmin=$wmin ${name}_wmed=$wmed"
done
awk -v a="$other_cmin" -v b="$this_cmin" -v c="$other_cmed" -v d="$this_cmed" -v g="$bytes" 'BEGIN {
  printf "CPU seconds, this against other: %+.1f%% (min), %+.1f%% (median)\n", (b / a - 1) * 100, (d / c - 1) * 100
  printf "CPU seconds per GiB (median): other %.3f, this %.3f\n", c / (g / 2^30), d / (g / 2^30) }'
awk -v a="$other_wmin" -v b="$this_wmin" -v c="$other_wmed" -v d="$this_wmed" 'BEGIN {
  printf "wall-clock, this against other: %+.1f%% (min), %+.1f%% (median)\n", (b / a - 1) * 100, (d / c - 1) * 100 }'
for name in other this; do
  echo "$name runs (wall user sys):"
  sed 's/^/  /' "$work/$name.times"
done
