#!/usr/bin/env bash
# Builds the self-contained program (-DDZ_STATIC=ON, no tests or benchmarks)
# in build-static/ and checks it against the normal build in build/: it is
# linked statically, the C library included, and stripped (no dynamic
# section, so no glibc version to ask of a host); a scan of a generated image
# writes the same sketch file, byte for byte, and the same report as the
# normal program's; and so does the program copied alone into an empty
# directory and run there under chroot, where none of the host's libraries
# is visible, both as it is and as on a kernel without native AIO,
# MADV_POPULATE_WRITE, cachestat and transparent huge pages.
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

description=$(file -b "$static/dezevazir")
echo "$description"
grep -q 'statically linked' <<<"$description" || fail "not statically linked: $description"
grep -q ', stripped' <<<"$description" || fail "not stripped: $description"
libs=$(ldd "$static/dezevazir" 2>&1 || true)
grep -q 'not a dynamic executable' <<<"$libs" || fail "ldd finds libraries: $libs"
# No versioned symbol of any shared library is asked for (GLIBC_2.36 was).
versions=$(objdump -T "$static/dezevazir" 2>&1 | grep -oE 'GLIBC_[0-9.]+' | sort -uV || true)
[[ -z $versions ]] || fail "glibc versions required: $versions"
[[ -s $static/dezevazir.debug ]] || fail "no debug information kept in dezevazir.debug"

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

# The program alone in an otherwise empty root: no /lib, no /dev, no /proc.
# Unprivileged, a user namespace gives the chroot.
chroot_cmd=("$(command -v chroot)")
[[ $(id -u) -eq 0 ]] || chroot_cmd=("$(command -v unshare)" --map-root-user "${chroot_cmd[@]}")
for withheld in "" all; do
    root=$work/root-${withheld:-plain}
    mkdir "$root"
    cp "$static/dezevazir" "$root/"
    ln "$work/image.img" "$root/image.img" 2>/dev/null || cp "$work/image.img" "$root/image.img"
    [[ $(find "$root" | wc -l) -eq 3 ]] || fail "the root holds more than the program and the image"
    # Out of the page cache, so that the reads are direct where the file
    # system allows them: the read buffers and reads in flight are used.
    sync "$root/image.img"
    dd if="$root/image.img" iflag=nocache count=0 status=none
    (cd "$root" && env -i DEDUPEINTERNAL=1 ${withheld:+DZ_TEST_KERNEL_WITHOUT=$withheld} "${chroot_cmd[@]}" "$root" \
        /dezevazir scan --input ../image.img --sketch image.dat --hashSize 1000 >"$work/chroot.out" 2>"$work/chroot.err") ||
        fail "chroot scan (${withheld:-all features}) ended with status $?: $(cat "$work/chroot.err")"
    cmp "$work/normal/image.dat" "$root/image.dat" || fail "the sketch file under chroot (${withheld:-all features}) differs"
    grep -E 'Savings: ' "$work/chroot.out" | cmp - "$work/normal/savings" || fail "the report under chroot differs"
    grep -o 'Read mode: .*' "$root/ridoriDozu.log" || fail "no read mode in the run log under chroot"
done
# A sketch file without entries or counters would make the comparison hollow.
[[ $(wc -l <"$work/static/image.dat") -eq 1011 ]] || fail "the sketch did not fill: $(head -11 "$work/static/image.dat")"
grep -q '^Number of Big Zero blocks: 2048$' "$work/static/image.dat" || fail "no big-zero segment counted"

if ((failures > 0)); then
    exit 1
fi
echo "static build checks passed"
