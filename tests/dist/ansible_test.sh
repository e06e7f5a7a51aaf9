#!/usr/bin/env bash
# The many-hosts playbook against this machine: two inventory aliases of
# localhost scan two generated images; the merged report must be printed
# and must be the one a merge of the fetched sketch files gives. With one
# host (--limit) the single sketch is loaded instead.
# Usage: ansible_test.sh PLAYBOOK DEZEVAZIR MKSAMPLE
set -uo pipefail
playbook=$(realpath "$1")
bin=$(realpath "$2")
mksample=$(realpath "$3")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
export ANSIBLE_LOCAL_TEMP=$work/tmp-local ANSIBLE_REMOTE_TEMP=$work/tmp-remote ANSIBLE_NOCOLOR=1 \
    ANSIBLE_RETRY_FILES_ENABLED=0 ANSIBLE_STDOUT_CALLBACK=default

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

"$mksample" --size 4M --seed 1 --dup 30 --out "$work/one.img" >/dev/null || exit 1
"$mksample" --size 6M --seed 2 --zero 20 --out "$work/two.img" >/dev/null || exit 1
cat >inventory.ini <<INI
[all:vars]
ansible_connection=local
ansible_python_interpreter=$(command -v python3)

[scanned]
host-a ansible_host=localhost device=$work/one.img
host-b ansible_host=localhost device=$work/two.img
INI

play() {
    ansible-playbook -i inventory.ini "$playbook" -e "dezevazir_binary=$bin" \
        -e "dezevazir_workdir=$work/hosts/{{ inventory_hostname }}" -e "dezevazir_collect_dir=$work/collected" \
        -e dezevazir_become=false -e dezevazir_poll=1 "$@" >play.out 2>&1
}

# Two hosts: merge.
play
status=$?
[[ $status -eq 0 ]] || fail "playbook ended with status $status"
for f in host-a-one.img.dat host-b-two.img.dat merged.dat; do
    [[ -s collected/$f ]] || fail "collected/$f is missing"
done
for h in host-a host-b; do
    [[ -s hosts/$h/ridoriDozu.log ]] || fail "no run log on $h"
done
head -1 collected/merged.dat | grep -q ' merge$' || fail "merged.dat is not a merge result"
grep -q "^Original file names: $work/one.img $work/two.img\$" collected/merged.dat ||
    fail "merged.dat does not name both images"
# The same merge by hand gives the report the playbook printed.
(cd collected && "$bin" merge --mergefiles host-a-one.img.dat,host-b-two.img.dat -o again.dat) >by-hand.out 2>&1 ||
    fail "merge by hand failed"
grep -E '^[A-Za-z ]+Savings: +-?[0-9.]+%$' by-hand.out >expected.lines
[[ $(wc -l <expected.lines) -eq 5 ]] || fail "merge by hand gave no report: $(cat by-hand.out)"
while IFS= read -r line; do
    grep -qF "\"$line\"" play.out || fail "the playbook did not print: $line"
done <expected.lines

# One host: the single sketch is loaded.
rm -rf collected
play --limit host-b
status=$?
[[ $status -eq 0 ]] || fail "playbook with one host ended with status $status"
[[ ! -e collected/merged.dat ]] || fail "one host still merged"
grep -q '"Estimated Dedupe Savings: ' play.out || fail "one host: no report printed"

if ((failures > 0)); then
    echo "--- playbook output"
    cat play.out
    exit 1
fi
echo "playbook checks passed"
