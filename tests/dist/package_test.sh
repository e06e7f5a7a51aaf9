#!/usr/bin/env bash
# What is installed and packaged: `cmake --install` puts exactly the program,
# its manual page, its completion, the playbook example, the copyright file
# and the changelog under the prefix; `cpack -G DEB` builds a package with
# those files, the library dependencies found by dpkg-shlibdeps, the
# configured maintainer and a version that matches the program's and the
# changelog's, with which lintian finds nothing to say (hardening included);
# a build of the program alone (as scripts/run.sh makes) can be packaged; the
# packaged program runs and scans.
# Usage: package_test.sh BUILD_DIR MKSAMPLE
set -uo pipefail
build=$(realpath "$1")
mksample=$(realpath "$2")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

expected_files='bin/dezevazir
share/bash-completion/completions/dezevazir
share/doc/dezevazir/changelog.gz
share/doc/dezevazir/copyright
share/doc/dezevazir/examples/ansible/dezevazir.yml
share/doc/dezevazir/examples/ansible/inventory.example.ini
share/man/man1/dezevazir.1.gz'

# What the package needs beyond the program is built with it: scripts/run.sh
# builds only the program and mksample, and `cpack -G DEB` must work after
# it. (Not by building the program here: the other tests run it.)
if [[ -f $build/build.ninja ]]; then
    query=$(ninja -C "$build" -t query dezevazir)
    for target in dz_man_page dz_changelog; do
        grep -qE "^ +\|\| $target\$" <<<"$query" || fail "building the program does not build $target"
    done
fi
rm -f "$build/doc/dezevazir.1.gz" "$build/doc/changelog.gz"
cmake --build "$build" --target dz_man_page dz_changelog >"$work/build.out" 2>&1 ||
    fail "building the package's documents: $(cat "$work/build.out")"

# Install into a prefix: nothing more, nothing less (no helper tools, tests,
# benchmarks or libraries).
cmake --install "$build" --prefix "$work/prefix" >"$work/install.out" 2>&1 || fail "cmake --install: $(cat "$work/install.out")"
installed=$(cd "$work/prefix" && find . -type f -o -type l | sed 's|^\./||' | LC_ALL=C sort)
[[ $installed == "$expected_files" ]] || fail "installed files differ:
$installed"
gzip -t "$work/prefix/share/man/man1/dezevazir.1.gz" || fail "the manual page is not a gzip file"
err=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$work/prefix/share/man/man1/dezevazir.1.gz" 2>&1 >/dev/null)
[[ -z $err ]] || fail "installed manual page: $err"

# The Debian package.
(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/pkg") >"$work/cpack.out" 2>&1 ||
    fail "cpack: $(cat "$work/cpack.out")"
debs=("$work"/pkg/*.deb)
if [[ ${#debs[@]} -ne 1 || ! -f ${debs[0]} ]]; then
    fail "no single .deb: ${debs[*]}"
else
    deb=${debs[0]}
    field() { dpkg-deb -f "$deb" "$1"; }
    [[ $(field Package) == dezevazir ]] || fail "Package: $(field Package)"
    [[ $(field Section) == utils ]] || fail "Section: $(field Section)"
    [[ $(field Architecture) == "$(dpkg --print-architecture)" ]] || fail "Architecture: $(field Architecture)"
    maintainer=$(sed -n 's/^DZ_PACKAGE_MAINTAINER:STRING=//p' "$build/CMakeCache.txt")
    [[ -n $maintainer && $(field Maintainer) == "$maintainer" ]] ||
        fail "Maintainer: $(field Maintainer), configured: $maintainer"
    [[ -n $(field Description) ]] || fail "no Description"
    # dpkg-shlibdeps found the shared libraries the program needs.
    depends=$(field Depends)
    for lib in libc6 libstdc++6 libboost-program-options1.74.0 libboost-thread1.74.0; do
        [[ $depends == *"$lib"* ]] || fail "Depends lacks $lib: $depends"
    done
    # Files as root-owned, with the install tree's layout under /usr.
    listing=$(dpkg-deb -c "$deb")
    if grep -v ' root/root ' <<<"$listing" | grep -q .; then
        fail "entries not owned by root: $(grep -v ' root/root ' <<<"$listing")"
    fi
    grep -qE '^-rwxr-xr-x .* \./usr/bin/dezevazir$' <<<"$listing" || fail "usr/bin/dezevazir not 0755: $listing"
    dpkg-deb -x "$deb" "$work/root" || fail "dpkg-deb -x"
    packaged=$(cd "$work/root/usr" && find . -type f -o -type l | sed 's|^\./||' | LC_ALL=C sort)
    [[ $packaged == "$expected_files" ]] || fail "packaged files differ:
$packaged"
    # CPack strips the packaged binary.
    file -b "$work/root/usr/bin/dezevazir" | grep -q ', stripped' || fail "binary not stripped"
    # The copyright file states that no licence is granted yet; the
    # changelog's entry is this version's, by the package's maintainer.
    doc=$work/root/usr/share/doc/dezevazir
    grep -q '^Copyright: .*dezevazir authors' "$doc/copyright" || fail "copyright names no holder"
    grep -q '^License: not-yet-granted$' "$doc/copyright" || fail "copyright states no licence"
    changelog=$(gzip -dc "$doc/changelog.gz")
    [[ $(head -1 <<<"$changelog") == "dezevazir ($(field Version)) unstable; urgency=medium" ]] ||
        fail "changelog: $(head -1 <<<"$changelog")"
    grep -qF -- " -- $(field Maintainer)  " <<<"$changelog" || fail "changelog not signed by the maintainer"
    # Debian's own judgement of the package: no error, no warning, and none
    # of the informational tags either (pedantic ones aside).
    if command -v lintian >/dev/null; then
        lintian --info --display-info "$deb" >"$work/lintian.out" 2>&1
        if grep -E '^[EWI]: ' "$work/lintian.out"; then
            fail "lintian: $(cat "$work/lintian.out")"
        fi
    else
        fail "lintian is not installed (apt-get install lintian)"
    fi

    # The packaged program: its version agrees with the package's, and it scans.
    bin=$work/root/usr/bin/dezevazir
    mkdir "$work/run"
    cd "$work/run" || exit 1
    version=$("$bin" --version)
    status=$?
    [[ $status -eq 0 ]] || fail "--version ended with status $status"
    [[ $version =~ ^dezevazir\ ([0-9.]+)\ \(build\ ([0-9]+)\)$'\n'Git\ commit:\ ([0-9a-f]{40}|unknown)$ ]] ||
        fail "--version printed: $version"
    [[ $(field Version) == "${BASH_REMATCH[1]}.${BASH_REMATCH[2]}" ]] ||
        fail "package version $(field Version) is not that of: $version"
    "$mksample" --size 1M --out x.img >/dev/null || fail "mksample"
    "$bin" scan --input x.img --sketch x.dat >scan.out 2>scan.err
    status=$?
    [[ $status -eq 0 ]] || fail "scan ended with status $status: $(cat scan.err)"
    grep -qE '^Total Data efficiency Savings: +-?[0-9.]+%$' scan.out || fail "scan report: $(cat scan.out)"
    head -1 x.dat | grep -q ' fullscan$' || fail "no sketch file written"
fi

if ((failures > 0)); then
    exit 1
fi
echo "install and package checks passed"
