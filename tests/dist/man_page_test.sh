#!/usr/bin/env bash
# The manual page renders without a warning and reads as meant, has its
# sections, and documents every option the program accepts (all groups
# enabled) and every exit status of the README's table.
# Usage: man_page_test.sh PAGE DEZEVAZIR README
set -uo pipefail
page=$1 bin=$2 readme=$3
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

export LC_ALL=C.UTF-8 MANWIDTH=80
for level in "" "=all"; do
    err=$(man --warnings$level -l "$page" 2>&1 >/dev/null)
    rc=$?
    [[ $rc -eq 0 ]] || fail "man --warnings$level ended with status $rc"
    [[ -z $err ]] || fail "man --warnings$level reported: $err"
done

for section in NAME SYNOPSIS DESCRIPTION COMMANDS OPTIONS ENVIRONMENT REPORT "EXIT STATUS" FILES EXAMPLES \
    "MANY HOSTS"; do
    grep -qx "\.SH $section" "$page" || fail "no section $section"
done

# The option section's source, between its heading and the next one.
options=$(sed -n '/^\.SH OPTIONS$/,/^\.SH /p' "$page")
help=$(ZIZUDIR3=1 DEDUPEINTERNAL=1 "$bin" --help)
names=$(grep -oE -- '(^|[[ ])--?[A-Za-z]+' <<<"$help" | tr -d '[ ' | sort -u)
[[ $(wc -l <<<"$names") -gt 20 ]] || fail "could not read the options from --help: $help"
for name in $names; do
    # Roff source writes a dash as \-; the name must end there.
    pattern="$(sed 's/-/\\\\-/g' <<<"$name")([^A-Za-z]|\$)"
    grep -qE -- "$pattern" <<<"$options" || fail "option $name is not documented"
done
for var in ZIZUDIR3 DEDUPEINTERNAL VERBOSE_OUTPUT; do
    sed -n '/^\.SH ENVIRONMENT$/,/^\.SH /p' "$page" | grep -qx "\.B $var" || fail "variable $var is not documented"
done

statuses=$(sed -n '/^## Exit statuses/,/^## /p' "$readme" | grep -oE '^\| [0-9]+ ' | tr -d '| ')
[[ -n $statuses ]] || fail "no exit statuses in $readme"
exits=$(sed -n '/^\.SH EXIT STATUS$/,/^\.SH /p' "$page")
for status in $statuses; do
    grep -qx "\.B $status" <<<"$exits" || fail "exit status $status is not documented"
done

# The rendered text, not only the source: a font change between macro
# arguments joins words ("name:reason"), a stray quote shows. One line, runs
# of blanks (justification) made one.
rendered=$(man -l "$page" 2>/dev/null | col -bx | tr -s ' \t\n' ' ')
for phrase in "Resuming name: X of Y bytes already scanned." "(Error reading: name: reason;" \
    "(Cannot read mergefile: name: reason)." "(Error opening logfile: ridoriDozu.log)."; do
    grep -qF -- "$phrase" <<<"$rendered" || fail "the rendered page does not read: $phrase"
done
glued=$(grep -oE '[a-z]:[a-z]+' <<<"$rendered" | sort -u)
[[ -z $glued ]] || fail "words joined at a colon in the rendered page: $(tr '\n' ' ' <<<"$glued")"
stray=$(grep -oE '[A-Za-z.]"[.,;)]' <<<"$rendered" | sort -u)
[[ -z $stray ]] || fail "stray quotes in the rendered page: $(tr '\n' ' ' <<<"$stray")"

if ((failures > 0)); then
    exit 1
fi
echo "manual page checks passed"
