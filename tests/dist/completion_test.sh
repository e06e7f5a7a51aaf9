#!/usr/bin/env bash
# The bash completion, driven the way bash drives it: COMP_WORDS and
# COMP_CWORD set, the completion function called, COMPREPLY compared.
# Usage: completion_test.sh COMPLETION_FILE
set -uo pipefail
completion=$(realpath "$1")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
touch a.dat b.dat notes.txt "my file.dat"
mkdir sub
touch sub/inner.dat

failures=0

# complete ENV WORD... : the sorted replies, joined by '|', for the line
# whose last word is the one being completed. ENV is "" or assignments.
complete_words() {
    local env=$1
    shift
    (
        unset ZIZUDIR3 DEDUPEINTERNAL
        [[ -n $env ]] && export "${env?}"
        # shellcheck source=/dev/null
        source "$completion"
        COMP_WORDS=("$@")
        COMP_CWORD=$(($# - 1))
        COMP_LINE="$*"
        COMP_POINT=${#COMP_LINE}
        _dezevazir dezevazir "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}" 2>/dev/null
        printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | paste -sd'|'
    )
}

check() {
    local name=$1 env=$2 want=$3
    shift 3
    local got
    got=$(complete_words "$env" "$@")
    if [[ $got != "$want" ]]; then
        echo "FAIL: $name"
        echo "  line: $*"
        echo "  want: $want"
        echo "  got:  $got"
        failures=$((failures + 1))
    fi
}

general='--batchfile|--command|--groups|--help|--html|--input|--json|--loglevel|--maxMBPs|--mergeall|--mergefiles|--sketch|--updatebw|--version'
files='a.dat|b.dat|my\ file.dat|notes.txt|sub/'

# name | environment | expected replies | words (the last is being completed)
check "command words" "" "load|merge|partialscan|scan" dezevazir ""
check "command word prefix" "" "partialscan" dezevazir p
check "general options only without the variables" "" "--maxMBPs|--mergeall|--mergefiles" dezevazir --m
check "support options with ZIZUDIR3, even empty" "ZIZUDIR3=" \
    "--machineSize|--maxMBPs|--mergeAllThreshold|--mergeall|--mergefiles" dezevazir --m
check "backend options with DEDUPEINTERNAL" "DEDUPEINTERNAL=1" \
    "--randomBytes|--readRequestsMaxQ|--readcmpRequestsMaxQ|--recoverBlocks" dezevazir scan --r
check "no backend options without DEDUPEINTERNAL" "ZIZUDIR3=1" "" dezevazir scan --r
check "options once the command is given" "" "$general" dezevazir scan -d a.dat ""
check "a switch takes no value" "" "load|merge|partialscan|scan" dezevazir --mergeall ""
check "--json is a switch too" "" "load|merge|partialscan|scan" dezevazir --json ""
check "--json by a prefix" "" "--json" dezevazir scan --j
check "a value is not the command word" "" "load|merge|partialscan|scan" dezevazir -o load ""
check "a value given after = is not either" "" "load|merge|partialscan|scan" dezevazir --sketch = load ""
check "numbers are not completed" "" "" dezevazir scan -x ""
check "command option" "" "merge" dezevazir --command m
check "storage versions" "ZIZUDIR3=1" "1200|1201|1202" dezevazir load --storagever ""
check "sketch names, quoted" "" "$files" dezevazir scan -o ""
check "page names, like sketch names" "" "$files" dezevazir scan --html ""
check "sketch in a directory" "" "sub/" dezevazir load --sketch s
check "sketch through a long prefix" "" "notes.txt" dezevazir load --sk n
check "batch file" "" "notes.txt" dezevazir --batchfile no
check "input given after =" "" "b.dat" dezevazir scan --input = b
check "input through a long prefix" "" "sub/" dezevazir scan --inp su
check "first merge file" "" "a.dat" dezevazir merge --mergefiles a
check "merge file after a comma" "" "a.dat,a.dat|a.dat,b.dat|a.dat,my\ file.dat|a.dat,notes.txt|a.dat,sub/" \
    dezevazir merge --mergefiles a.dat,
check "only the part after the last comma" "" "a.dat,sub/inner.dat,b.dat" \
    dezevazir merge --mergefiles a.dat,sub/inner.dat,b
check "merge file in a directory" "" "a.dat,sub/inner.dat" dezevazir merge --mergefiles a.dat,sub/i

# --input offers block devices and no other device files. The host's /dev
# decides what exists, so this is checked as a property.
IFS='|' read -r -a devs <<<"$(complete_words "" dezevazir scan --input /dev/)"
for d in "${devs[@]}"; do
    if [[ ! -b $d && ! ( $d == */ && -d $d ) ]]; then
        echo "FAIL: --input /dev/ offers $d, neither a block device nor a directory"
        failures=$((failures + 1))
    fi
done
for b in /dev/*; do
    if [[ -b $b && " ${devs[*]} " != *" $b "* ]]; then
        echo "FAIL: --input /dev/ misses the block device $b"
        failures=$((failures + 1))
    fi
done
if [[ $(complete_words "" dezevazir scan --input /dev/nul) != "" ]]; then
    echo "FAIL: --input offers the character device /dev/null"
    failures=$((failures + 1))
fi

if ((failures > 0)); then
    echo "$failures completion case(s) failed"
    exit 1
fi
echo "completion cases passed"
