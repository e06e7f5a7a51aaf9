#!/usr/bin/env bash
# A scan as administrators run it on a production host: its speed from the
# device next to what the device gives (dd with direct reads) and to what
# the CPU allows (the same image in a tmpfs), and the page cache it leaves:
# a source that was not cached must stay out of the cache, one that was
# cached must stay in it.
#
#   bench/device.sh [build-dir] [size]      (defaults: build, 4G)
#
# The mixed image (mksample --seed 7) is generated once and kept under
# <build-dir>/bench-data (or $DZ_BENCH_DATA). Only this image's pages are
# dropped from the cache, never the system's. MB/s are 10^6 bytes per second
# of wall-clock time.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
size=${2:-4G}
data=${DZ_BENCH_DATA:-$build/bench-data}
img=$data/mixed-$(echo "$size" | tr 'A-Z' 'a-z')-seed7.img
truth=$img.truth

for tool in "$build/mksample" "$build/dezevazir"; do
  [ -x "$tool" ] || { echo "missing $tool: build it first" >&2; exit 1; }
done
[ -x /usr/bin/time ] || { echo "missing /usr/bin/time (apt-get install time)" >&2; exit 1; }

mkdir -p "$data"
if [ ! -s "$img" ] || [ ! -s "$truth" ]; then
  want=$(numfmt --from=iec "$size")
  avail=$(df --output=avail -B1 "$data" | tail -1)
  if [ "$avail" -lt $((want + (1 << 30))) ]; then
    echo "not enough space in $data for a $size image ($avail bytes free): give a smaller size" >&2
    exit 1
  fi
  echo "generating $img ..."
  "$build/mksample" --size "$size" --seed 7 --out "$img.part" > "$truth.part"
  mv "$img.part" "$img"
  mv "$truth.part" "$truth"
fi
bytes=$(stat -c %s "$img")

work=$(mktemp -d)
mnt=
cleanup() {
  if [ -n "$mnt" ]; then
    rm -f "$mnt/img"
    if mountpoint -q "$mnt"; then umount "$mnt"; fi
    rmdir "$mnt" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

now() { date +%s.%N; }
rate() { awk -v b="$bytes" -v s="$1" 'BEGIN { printf "%.0f", b / 1e6 / s }'; }
secs() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }

# Drops the pages of one file (GNU dd: with count=0 the whole file).
evict() { dd if="$1" iflag=nocache count=0 status=none; }

# Bytes of the file in the page cache.
resident() {
  if command -v fincore > /dev/null; then
    fincore --bytes --noheadings --output RES "$1" | tr -d ' '
  else
    python3 - "$1" << 'EOF'
import ctypes, os, sys
libc = ctypes.CDLL(None, use_errno=True)
libc.mmap.restype = ctypes.c_void_p
libc.mmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_long]
libc.mincore.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p]
libc.munmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
fd = os.open(sys.argv[1], os.O_RDONLY)
size = os.fstat(fd).st_size
page = os.sysconf("SC_PAGE_SIZE")
addr = libc.mmap(None, size, 1, 1, fd, 0)  # PROT_READ, MAP_SHARED
vec = (ctypes.c_ubyte * ((size + page - 1) // page))()
libc.mincore(addr, size, vec)
libc.munmap(addr, size)
print(min(size, sum(v & 1 for v in vec) * page))
EOF
  fi
}

# Runs a scan of $1 in a fresh directory (no earlier sketch to resume from);
# sets scan_s, scan_cpu, rss_kb.
scan() {
  local dir
  dir=$(mktemp -d -p "$work")
  local t0 t1 status=0
  t0=$(now)
  (cd "$dir" && /usr/bin/time -v -o "$dir/time.txt" "$build/dezevazir" scan --input "$1" \
    --sketch "$dir/bench.dat" > "$dir/out.txt" 2> "$dir/err.txt") || status=$?
  t1=$(now)
  if [ "$status" -ne 0 ]; then
    echo "scan of $1 failed with status $status" >&2
    cat "$dir/err.txt" >&2
    exit 1
  fi
  scan_s=$(secs "$t0" "$t1")
  scan_cpu=$(awk -F': ' '/User time|System time/ { t += $2 } END { printf "%.2f", t }' "$dir/time.txt")
  rss_kb=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$dir/time.txt")
  scan_mode=$(grep -o 'Read mode: .*' "$dir/ridoriDozu.log" | head -1 || true)
  last_report=$dir/out.txt
}

# The device's own limit.
evict "$img"
t0=$(now)
dd if="$img" of=/dev/null iflag=direct bs=1M status=none
t1=$(now)
dd_s=$(secs "$t0" "$t1")

# A scan of the uncached image.
evict "$img"
scan "$img"
cold_s=$scan_s cold_cpu=$scan_cpu cold_rss=$rss_kb cold_mode=$scan_mode cold_report=$last_report
cold_res=$(resident "$img")

# The same image wholly cached before the scan.
cat "$img" > /dev/null
cached_before=$(resident "$img")
scan "$img"
warm_s=$scan_s warm_cpu=$scan_cpu warm_rss=$rss_kb warm_mode=$scan_mode
warm_res=$(resident "$img")
evict "$img"

# A copy in memory: the scan's CPU-bound limit. A tmpfs of its own where
# mounting is allowed, else /dev/shm.
tmpfs_note=
need_kb=$((bytes / 1024 + 65536))
avail_kb=$(awk '/MemAvailable/ { print $2 }' /proc/meminfo)
if [ "$avail_kb" -lt $((need_kb * 2)) ]; then
  tmpfs_note="skipped: $((avail_kb / 1024)) MiB of memory available, $((need_kb * 2 / 1024)) MiB wanted"
else
  mnt=$(mktemp -d)
  if ! mount -t tmpfs -o size=$((need_kb))k tmpfs "$mnt" 2> /dev/null; then
    rmdir "$mnt"
    mnt=
    shm_kb=$(df --output=avail -k /dev/shm 2> /dev/null | tail -1 || echo 0)
    if [ "${shm_kb:-0}" -ge "$need_kb" ]; then
      mnt=$(mktemp -d -p /dev/shm)
    else
      tmpfs_note="skipped: no tmpfs could be mounted and /dev/shm has ${shm_kb:-0} KiB free"
    fi
  fi
fi
if [ -n "$mnt" ]; then
  cp "$img" "$mnt/img"
  evict "$img"
  scan "$mnt/img"
  shm_s=$scan_s shm_cpu=$scan_cpu shm_mode=$scan_mode
  rm -f "$mnt/img"
fi

echo "image:   $img ($bytes bytes)"
sed 's/^/         /' "$truth"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores"
printf 'dd direct:            %6s MB/s  (%s s wall)\n' "$(rate "$dd_s")" "$dd_s"
printf 'scan, uncached:       %6s MB/s  (%s s wall, %s s CPU; %s)\n' "$(rate "$cold_s")" "$cold_s" "$cold_cpu" "$cold_mode"
printf 'scan, cached before:  %6s MB/s  (%s s wall, %s s CPU; %s)\n' "$(rate "$warm_s")" "$warm_s" "$warm_cpu" "$warm_mode"
if [ -n "$tmpfs_note" ]; then
  echo "scan, tmpfs copy:     $tmpfs_note"
else
  printf 'scan, tmpfs copy:     %6s MB/s  (%s s wall, %s s CPU; %s)\n' "$(rate "$shm_s")" "$shm_s" "$shm_cpu" "$shm_mode"
fi
awk -v r="$cold_res" 'BEGIN { printf "resident after the uncached scan: %.1f MiB\n", r / 1048576 }'
awk -v a="$cached_before" -v r="$warm_res" -v b="$bytes" \
  'BEGIN { printf "resident after the cached scan:   %.1f %% (%.1f %% before it)\n", r * 100 / b, a * 100 / b }'
awk -v c="$cold_rss" -v w="$warm_rss" \
  'BEGIN { printf "scan peak memory: %.1f MiB uncached, %.1f MiB cached (maximum resident set size)\n", c / 1024, w / 1024 }'

echo "goals:"
goal() { printf '  %-58s %s\n' "$1" "$(awk "BEGIN { print ($2) ? \"met\" : \"NOT MET\" }")"; }
limit=$(rate "$dd_s")
[ -z "$tmpfs_note" ] && limit=$(awk -v a="$limit" -v b="$(rate "$shm_s")" 'BEGIN { print (a < b) ? a : b }')
goal "uncached scan >= 0.9 x min(dd direct, tmpfs scan) = $(awk -v l="$limit" 'BEGIN { printf "%.0f", 0.9 * l }') MB/s" \
  "$(rate "$cold_s") >= 0.9 * $limit"
goal "<= 64 MiB resident after the uncached scan" "$cold_res <= 64 * 1048576"
goal ">= 90 % resident after a scan of the cached image" "$warm_res * 100 >= 90 * $bytes"
goal "peak memory <= 200 MiB" "$cold_rss <= 200 * 1024 && $warm_rss <= 200 * 1024"
echo "scan report (uncached):"
grep -v '^\s*$' "$cold_report" | tr -d '\b' | sed 's/^/         /'
