#!/usr/bin/env bash
# Records, or compares with a record, what a fixed set of runs does on
# generated images: standard output and error, exit status, the run log
# without its timestamps and every file written. A change that should move
# code without changing behaviour must leave the record as it is.
#
#   scripts/golden.sh record  [build-dir]   writes tests/golden/expected.txt
#   scripts/golden.sh compare [build-dir]   fails on any difference
set -euo pipefail

mode=${1:?record or compare}
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${2:-$root/build}" && pwd)
expected=$root/tests/golden/expected.txt
dz=$build/dezevazir

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
out=$work/record.txt
: > "$out"

"$build/mksample" --size 40M --seed 11 --out s.img > /dev/null
"$build/mksample" --size 8M --seed 12 --zero 0 --bigzero 0 --out p.img > /dev/null
truncate -s 20M z.img

# Times, timestamps and the read mode (it follows what the page cache holds)
# are the only text that may differ between two runs.
normalize() {
  sed -e '/ Read mode: /d' -e "s|$dz|dezevazir|g" -e 's/^\(Time Consumed: *\)[0-9:]*$/\1HH:MM:SS/' \
      -e 's/^ [0-9][0-9]\/[0-9][0-9]\/[0-9]*\.[0-9]* [0-9:]* /TIMESTAMP /' "$@"
}

# run NAME [VAR=value ...] -- ARGS...
run() {
  local name=$1; shift
  local envs=()
  while [ "$1" != "--" ]; do envs+=("$1"); shift; done
  shift
  local status=0
  [ -f ridoriDozu.log ] && rm -f ridoriDozu.log
  env -u ZIZUDIR3 -u DEDUPEINTERNAL -u VERBOSE_OUTPUT "${envs[@]}" "$dz" "$@" > stdout.txt 2> stderr.txt < /dev/null ||
    status=$?
  {
    echo "=== $name: ${envs[*]} $* -> $status"
    echo "--- stdout"; normalize stdout.txt
    echo "--- stderr"; normalize stderr.txt
    # A run ended by a refusal may end before the log's start line is
    # written: only whole runs' logs are compared.
    if [ "$status" = 0 ]; then echo "--- log"; normalize ridoriDozu.log; fi
  } >> "$out"
  rm -f stdout.txt stderr.txt
}

run scan-default -- scan --input s.img
run scan-4-threads ZIZUDIR3=1 -- scan --input s.img -p 4 -o t4.dat
run scan-storagever-1201 ZIZUDIR3=1 VERBOSE_OUTPUT= -- scan --input s.img --storagever 1201 -o sv.dat
run scan-althash DEDUPEINTERNAL=1 -- scan --input s.img --altHash -o ah.dat
run scan-randombytes DEDUPEINTERNAL=1 -- scan --input s.img -u 7 -o rb.dat
run scan-verbose VERBOSE_OUTPUT= -- scan --input s.img -o v.dat
run scan-small-sketch DEDUPEINTERNAL=1 -- scan --input s.img --hashSize 500 -o k.dat
run scan-all-zero -- scan --input z.img -o z.dat
run scan-again -- scan --input s.img -o v.dat
run load -- load -o v.dat
run load-verbose VERBOSE_OUTPUT= -- load -o k.dat
run load-all-zero -- load -o z.dat
run partialscan-seeded DEDUPEINTERNAL=1 -- partialscan -d p.img -u 5 -o ps.dat
run load-partial -- load -o ps.dat
run merge -- merge --mergefiles v.dat,t4.dat,k.dat -o m1.dat
run merge-with-partial VERBOSE_OUTPUT= -- merge --mergefiles v.dat,ps.dat -o m2.dat
run merge-all -- merge --mergefiles v.dat,ps.dat,z.dat --mergeall -o m3.dat
printf 'load -o v.dat\n# comment\n\nscan -d p.img -o bp.dat\nload -o C:\\x.dat\nload -o missing.dat\n' > batch.txt
run batch -- --batchfile batch.txt
sed 's/^Sketch size/Skech size/' v.dat > damaged.dat
run damaged-load -- load -o damaged.dat
run damaged-merge -- merge --mergefiles v.dat,damaged.dat -o m4.dat
run damaged-resume -- scan --input s.img -o damaged.dat
# One run for each exit status that a run can reach here.
run status-100 -- scan --input missing.img
run status-123 -- --help
run status-124 -- merge
run status-125 -- merge --mergefiles v.dat,missing.dat
run status-127 -- load --mergefiles v.dat,k.dat
run status-128 -- merge --mergefiles v.dat,m1.dat -o m5.dat
run status-129 ZIZUDIR3=1 -- merge --mergefiles v.dat,k.dat --mergeall --mergeAllThreshold 0.0001 -o m6.dat
run status-130 -- load -o v.dat -s 0
run status-131 ZIZUDIR3=1 -- load -o v.dat --storagever 1199
run status-132 -- merge --mergefiles v.dat
run status-133 ZIZUDIR3=1 -- load -o v.dat -p 0
run status-133-source ZIZUDIR3=1 -- scan --input s.img -o s.img
run status-134 -- load -o missing.dat
run status-135 -- load -o m1.dat
run status-136 -- scan --input p.img -o gone/p.dat
# The log's name taken by a directory.
run_status_10() {
  rm -f ridoriDozu.log
  mkdir ridoriDozu.log
  local status=0
  "$dz" load -o v.dat > stdout.txt 2> stderr.txt < /dev/null || status=$?
  { echo "=== status-10: load -o v.dat -> $status"; echo "--- stderr"; cat stderr.txt; } >> "$out"
  rm -f stdout.txt stderr.txt
  rmdir ridoriDozu.log
}
run_status_10

echo "=== files" >> "$out"
for f in $(ls | grep -v -e '^record.txt$' -e '\.img$' | sort); do
  echo "--- $f $(sha256sum < "$f" | cut -c1-64)" >> "$out"
done

case $mode in
  record) cp "$out" "$expected"; echo "recorded $(grep -c '^===' "$out") runs in $expected" ;;
  compare)
    if diff -u "$expected" "$out"; then echo "golden: identical"; else echo "golden: outputs differ" >&2; exit 1; fi ;;
  *) echo "unknown mode $mode" >&2; exit 2 ;;
esac
