#!/usr/bin/env bash
# The many-hosts playbook against this machine, at Ansible's default fork
# count (5): eight inventory aliases of localhost, seven with a generated
# image and one whose device is missing. The seven scans run at the same
# time (their run logs' start and end times overlap); the merge covers the
# seven, its report names the missing one with the reason, the play fails;
# results land under the directory the playbook is run from, and nothing is
# left on the hosts. A rerun scans nothing and changes nothing;
# dezevazir_rescan=true scans again; --check runs the pre-flight and scans
# nothing.
# Usage: ansible_test.sh PLAYBOOK DEZEVAZIR MKSAMPLE
set -uo pipefail
playbook=$(realpath "$1")
bin=$(realpath "$2")
mksample=$(realpath "$3")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
export ANSIBLE_LOCAL_TEMP=$work/tmp-local ANSIBLE_REMOTE_TEMP=$work/tmp-remote ANSIBLE_NOCOLOR=1 \
    ANSIBLE_RETRY_FILES_ENABLED=0 ANSIBLE_STDOUT_CALLBACK=default ANSIBLE_ASYNC_DIR=$work/async ANSIBLE_PIPELINING=1
unset ANSIBLE_FORKS

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

hosts=(host-1 host-2 host-3 host-4 host-5 host-6 host-7 host-8)
missing=host-5
{
    echo "[all:vars]"
    echo "ansible_connection=local"
    echo "ansible_python_interpreter=$(command -v python3)"
    echo
    echo "[scanned]"
    for i in "${!hosts[@]}"; do
        h=${hosts[i]}
        if [[ $h == "$missing" ]]; then
            echo "$h ansible_host=localhost device=$work/images/gone.img"
        else
            echo "$h ansible_host=localhost device=$work/images/disk$i.img"
        fi
    done
} >inventory.ini
mkdir images
merged_hosts=()
for i in "${!hosts[@]}"; do
    [[ ${hosts[i]} == "$missing" ]] && continue
    merged_hosts+=("${hosts[i]}")
    "$mksample" --size 8M --seed $((i + 1)) --dup 20 --zero 10 --out "images/disk$i.img" >/dev/null || exit 1
done

# The program copied to the hosts holds each scan until seven are running
# (for at most 30 s): scans started in waves, as when each held a fork
# until it ended, would wait out that time and then not overlap; scans
# started all at once run together. dezevazir_poll 1 keeps the waits short.
mkdir started
cat >dezevazir <<SH
#!/bin/sh
started() {
    set -- "$work"/started/*
    [ \$# -ge 7 ]
}
case " \$* " in
*" scan "*)
    touch "$work/started/\$\$"
    i=0
    until started || [ \$i -ge 3000 ]; do
        sleep 0.01
        i=\$((i + 1))
    done
    ;;
esac
exec "$bin" "\$@"
SH
chmod +x dezevazir
play() {
    ansible-playbook -i inventory.ini "$playbook" -e "dezevazir_binary=$work/dezevazir" \
        -e "dezevazir_local_binary=$bin" -e "dezevazir_workdir=$work/hosts/{{ inventory_hostname }}" \
        -e dezevazir_become=false -e dezevazir_poll=1 "$@" >play.out 2>&1
}
show() {
    echo "--- playbook output ($1)"
    cat play.out
}

results=$work/dezevazir-results
play
status=$?
[[ $status -ne 0 ]] || fail "the play ended with status 0 with $missing left out"
for h in "${merged_hosts[@]}"; do
    for ext in dat log json; do
        compgen -G "$results/$h-disk*.img.$ext" >/dev/null || fail "no $ext file of $h in $results"
    done
done
compgen -G "$results/$missing-*" >/dev/null && fail "files of $missing: $(ls "$results")"
for f in merged.dat report.txt summary.json; do
    [[ -s $results/$f ]] || fail "$f is missing"
done
[[ ! -e $(dirname "$playbook")/dezevazir-results && ! -e $(dirname "$playbook")/sketches ]] ||
    fail "results written beside the playbook"
[[ -z $(ls -A hosts 2>/dev/null) ]] || fail "left on the hosts: $(ls -A hosts)"
[[ -z $(ls -A async 2>/dev/null) ]] || fail "async job files left: $(ls -A async)"

# The seven scans ran at once (run-log lines begin
# " dd/mm/yyyy.microseconds hh:mm:ss ").
python3 - "$results"/*.log <<'PY' || fail "the scans did not all run at once"
import datetime, re, sys
def stamp(line):
    d, mo, y, us, t = re.match(r" (\d+)/(\d+)/(\d+)\.(\d+) (\S+) ", line).groups()
    return datetime.datetime.strptime(f"{y}-{mo}-{d} {t}", "%Y-%m-%d %H:%M:%S").timestamp() + int(us) / 1e6
runs = []
for name in sys.argv[1:]:
    lines = open(name).read().splitlines()
    assert " scan --json --input " in lines[0], lines[0]
    runs.append((stamp(lines[0]), stamp(lines[-1])))
assert len(runs) == 7, runs
print("scans from %.2f to %.2f s, last start %.2f s, first end %.2f s" % (
    0, max(e for _, e in runs) - min(s for s, _ in runs),
    max(s for s, _ in runs) - min(s for s, _ in runs), min(e for _, e in runs) - min(s for s, _ in runs)))
# Scans in waves would start 30 s apart (the wrapper holds the first wave
# that long); scans started together start within moments of each other.
# A scan of 8 MiB may end before the slowest of the others has started, so
# their ends are not compared.
assert max(s for s, _ in runs) - min(s for s, _ in runs) < 10, runs
PY

# The merge covers the seven, in inventory order, and is the merge by hand.
sources=$(for i in "${!hosts[@]}"; do [[ ${hosts[i]} != "$missing" ]] && echo -n " $work/images/disk$i.img"; done)
grep -qx "Original file names:$sources" "$results/merged.dat" || fail "merged.dat: $(sed -n 2p "$results/merged.dat")"
inputs=$(for h in "${merged_hosts[@]}"; do compgen -G "$results/$h-*.dat"; done | paste -sd,)
mkdir by-hand
(cd by-hand && "$bin" merge --mergefiles "$inputs" -o merged.dat >report.out 2>report.err) ||
    fail "merge by hand failed: $(cat by-hand/report.err)"
cmp by-hand/merged.dat "$results/merged.dat" || fail "merged.dat is not the merge of the fetched sketch files"
grep -E 'Savings: ' by-hand/report.out >by-hand/savings
[[ $(wc -l <by-hand/savings) -eq 5 ]] || fail "merge by hand gave no report: $(cat by-hand/report.out)"
grep -E 'Savings: ' "$results/report.txt" | cmp - by-hand/savings || fail "report.txt: $(cat "$results/report.txt")"
grep -qx "Hosts merged: ${merged_hosts[*]}" "$results/report.txt" || fail "report.txt does not list the merged hosts"
grep -qx "Left out: $missing (Check the device: $work/images/gone.img: no such device or file)" "$results/report.txt" ||
    fail "report.txt does not name $missing and its reason: $(cat "$results/report.txt")"
grep -q "Left out of the merge: $missing (Check the device: " play.out || fail "the play did not end with the hosts left out"
# The summary: each host's own --json line, those left out and the merge.
python3 - "$results/summary.json" "$missing" "${merged_hosts[@]}" <<'PY' || fail "summary.json: $(cat "$results/summary.json")"
import json, sys
summary = json.load(open(sys.argv[1]))
missing, merged = sys.argv[2], sys.argv[3:]
assert sorted(summary["hosts"]) == sorted(merged), summary["hosts"].keys()
for h in merged:
    assert summary["hosts"][h]["command"] == "scan", h
    assert summary["hosts"][h]["blocks"]["seen"] == 1024, h
assert list(summary["left_out"]) == [missing], summary["left_out"]
assert summary["merged"]["command"] == "merge"
assert len(summary["merged"]["sources"]) == len(merged)
PY

# A rerun: every finished host holds a completed scan of its device, so
# nothing is scanned and nothing changes (the missing host still fails).
sums() { (cd "$results" && md5sum ./* | LC_ALL=C sort); }
before=$(sums)
play
status=$?
[[ $status -ne 0 ]] || fail "the rerun ended with status 0 with $missing left out"
recap=$(sed -n '/^PLAY RECAP/,$p' play.out)
[[ $(grep -c 'changed=0 ' <<<"$recap") -eq 8 ]] || { fail "the rerun changed something: $recap"; show rerun; }
[[ $(sums) == "$before" ]] || fail "the rerun changed the results"
[[ -z $(ls -A hosts 2>/dev/null) ]] || fail "the rerun made work directories: $(ls -A hosts)"

# --check: the pre-flight of every host (the program started there, kept
# for a look), no scan, no results.
play --check -e dezevazir_keep=true -e "dezevazir_results_dir=$work/checked"
status=$?
[[ $status -ne 0 ]] || fail "--check ended with status 0 with $missing failing the pre-flight"
grep -q "Pre-flight passed: ${merged_hosts[*]}\"" play.out || { fail "--check: pre-flight not passed"; show check; }
grep -q "Pre-flight failed: $missing (Check the device: " play.out || fail "--check: $missing not named"
for h in "${merged_hosts[@]}"; do
    [[ -x hosts/$h/dezevazir ]] || fail "--check: the program was not tried on $h"
    # --version writes no run log: a log there means something else ran.
    [[ ! -e hosts/$h/ridoriDozu.log ]] ||
        fail "--check: $h ran more than --version: $(cat "hosts/$h/ridoriDozu.log")"
    compgen -G "hosts/$h/*.dat" >/dev/null && fail "--check: a sketch file on $h"
done
[[ ! -e $work/checked ]] || fail "--check wrote results: $(ls -A "$work/checked")"
rm -rf hosts

# dezevazir_rescan=true scans again; one host alone: its sketch is loaded,
# not merged.
first_log=$(cat "$results"/host-2-*.log)
rm -rf "$results"/{merged.dat,report.txt,summary.json} hosts
play --limit host-2 -e dezevazir_rescan=true
status=$?
[[ $status -eq 0 ]] || { fail "rescan of one host ended with status $status"; show rescan; }
[[ $(head -1 "$results"/host-2-*.log) != "$(head -1 <<<"$first_log")" ]] || fail "host-2 was not scanned again"
[[ ! -e $results/merged.dat ]] || fail "one host was merged"
grep -q '"command": "load"' "$results/summary.json" || fail "one host: summary.json: $(cat "$results/summary.json")"
grep -q 'Estimated Dedupe Savings: ' "$results/report.txt" || fail "one host: no report"

if ((failures > 0)); then
    show last
    exit 1
fi
echo "playbook checks passed"
