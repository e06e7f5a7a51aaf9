#!/usr/bin/env bash
# Full-scan throughput next to sha1sum's on the same page-cached 2 GiB mixed
# image, and the scan's peak memory.
#
#   bench/scan.sh [build-dir]        (default: build)
#
# The image is generated once by mksample and kept under <build-dir>/bench-data
# (or $DZ_BENCH_DATA). MB/s are 10^6 bytes per second of wall-clock time.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
data=${DZ_BENCH_DATA:-$build/bench-data}
img=$data/mixed-2g-seed7.img
truth=$img.truth

for tool in "$build/mksample" "$build/dezevazir"; do
  [ -x "$tool" ] || { echo "missing $tool: build it first" >&2; exit 1; }
done
[ -x /usr/bin/time ] || { echo "missing /usr/bin/time (apt-get install time)" >&2; exit 1; }

mkdir -p "$data"
if [ ! -s "$img" ] || [ ! -s "$truth" ]; then
  echo "generating $img ..."
  "$build/mksample" --size 2G --seed 7 --out "$img.part" > "$truth.part"
  mv "$img.part" "$img"
  mv "$truth.part" "$truth"
fi
bytes=$(stat -c %s "$img")

# Both readers then see the same page-cached file.
cat "$img" > /dev/null

now() { date +%s.%N; }
rate() { awk -v b="$bytes" -v s="$1" 'BEGIN { printf "%.0f", b / 1e6 / s }'; }
secs() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

t0=$(now)
/usr/bin/time -f '%U %S' -o "$work/sha1.cpu" sha1sum "$img" > /dev/null
t1=$(now)
sha_s=$(secs "$t0" "$t1")

# A fresh working directory: no earlier sketch to resume from, and the run
# log stays out of the tree.
t0=$(now)
status=0
(cd "$work" && /usr/bin/time -v -o "$work/time.txt" "$build/dezevazir" scan --input "$img" \
  --sketch "$work/bench.dat" > "$work/out.txt" 2> "$work/err.txt") || status=$?
t1=$(now)
scan_s=$(secs "$t0" "$t1")
if [ "$status" -ne 0 ]; then
  echo "scan failed with status $status" >&2
  cat "$work/err.txt" >&2
  exit 1
fi
rss_kb=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$work/time.txt")
sha_cpu=$(awk '{ printf "%.2f", $1 + $2 }' "$work/sha1.cpu")
scan_cpu=$(awk -F': ' '/User time|System time/ { t += $2 } END { printf "%.2f", t }' "$work/time.txt")

echo "image:   $img ($bytes bytes)"
sed 's/^/         /' "$truth"
# Other work on the machine slows both; the load and the CPU seconds tell.
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores"
printf 'sha1sum: %6s MB/s  (%s s wall, %s s CPU)\n' "$(rate "$sha_s")" "$sha_s" "$sha_cpu"
printf 'scan:    %6s MB/s  (%s s wall, %s s CPU)\n' "$(rate "$scan_s")" "$scan_s" "$scan_cpu"
awk -v k="$rss_kb" 'BEGIN { printf "scan peak memory: %.1f MiB (maximum resident set size)\n", k / 1024 }'
# Threads that poll or wake each other per block show up here long before
# they show in the rate on a busy machine.
awk -F': ' '/Voluntary context switches/ { v = $2 } /Involuntary context switches/ { i = $2 }
  END { printf "scan context switches: %s voluntary, %s involuntary\n", v, i }' "$work/time.txt"
echo "scan report:"
grep -v '^\s*$' "$work/out.txt" | tr -d '\b' | sed 's/^/         /'
