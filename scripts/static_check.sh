#!/usr/bin/env bash
# Builds the self-contained program (-DDZ_STATIC=ON, no tests or benchmarks)
# in build-static/ and checks it against the normal build in build/: it
# needs no shared Boost, libstdc++ or libgcc, only the C library family; and
# a scan of a generated image writes the same sketch file, byte for byte,
# and the same report as the normal program's.
set -euo pipefail
cd "$(dirname "$0")/.."

normal=$PWD/build
static=$PWD/build-static
if [[ ! -x $normal/dezevazir ]]; then
    echo "static_check: build the normal program in build/ first" >&2
    exit 1
fi

cmake -S . -B "$static" -G Ninja -DDZ_STATIC=ON -DDZ_BUILD_TESTS=OFF -DDZ_BUILD_BENCH=OFF
ninja -C "$static" dezevazir mksample

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

libs=$(ldd "$static/dezevazir")
echo "$libs"
if grep -Ei 'boost|libstdc\+\+|libgcc_s' <<<"$libs"; then
    fail "the static program still loads the libraries above"
fi
# Every other line must be the C library family or the kernel's vDSO.
others=$(grep -Ev '^\s*(linux-(vdso|gate)\.so\.[0-9]+|(/[^ ]*/)?ld-linux[^ ]*|lib(c|m|pthread|dl|rt)\.so\.[0-9]+) ' <<<"$libs" || true)
[[ -z $others ]] || fail "unexpected libraries: $others"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A whole zero segment, duplicates, zero blocks and text: every counter is
# exercised, and a small sketch fills up so that its estimate is as well.
"$static/mksample" --size 48M --seed 1 --dup 25 --zero 10 --text 20 --bigzero 34 --out "$work/image.img" >/dev/null
for kind in normal static; do
    bin=$normal/dezevazir
    [[ $kind == static ]] && bin=$static/dezevazir
    mkdir "$work/$kind"
    # The same input text in both runs: the sketch file records it.
    (cd "$work/$kind" && DEDUPEINTERNAL=1 "$bin" scan --input ../image.img --sketch image.dat --hashSize 1000 \
        >report.out 2>report.err) ||
        fail "$kind scan ended with status $?: $(cat "$work/$kind/report.err")"
    grep -E 'Savings: ' "$work/$kind/report.out" >"$work/$kind/savings" || fail "$kind scan printed no report"
done
cmp "$work/normal/image.dat" "$work/static/image.dat" || fail "the sketch files differ"
cmp "$work/normal/savings" "$work/static/savings" || fail "the reports differ"
# A sketch file without entries or counters would make the comparison hollow.
[[ $(wc -l <"$work/static/image.dat") -eq 1011 ]] || fail "the sketch did not fill: $(head -11 "$work/static/image.dat")"
grep -q '^Number of Big Zero blocks: 2048$' "$work/static/image.dat" || fail "no big-zero segment counted"

if ((failures > 0)); then
    exit 1
fi
echo "static build checks passed"
