#!/usr/bin/env bash
# The HTML pages of a scan, a partial scan and a merge, as a reader gets
# them: valid HTML (tidy), rendered by headless Chromium without a console
# message, and a screenshot that is not blank. The screenshots stay in
# SHOTS for a person to look at (the README's picture is scan.png).
#
# Usage: html_page_render_test.sh DEZEVAZIR MKSAMPLE SHOTS
set -uo pipefail
dz=$(realpath "$1")
mksample=$(realpath "$2")
mkdir -p "$3"
shots=$(realpath "$3")

for tool in tidy chromium; do
    command -v "$tool" > /dev/null || { echo "FAIL: $tool is not installed"; exit 1; }
done
# Debian's python3, which python3-pil serves, even where another python3
# comes first on the PATH.
py=/usr/bin/python3
[ -x "$py" ] || py=python3
"$py" -c 'import PIL' 2> /dev/null || { echo "FAIL: python3-pil is not installed"; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

"$mksample" --size 24M --seed 3 --out a.img > /dev/null
"$mksample" --size 16M --seed 4 --out b.img > /dev/null
# A sketch smaller than the distinct blocks: the page draws real intervals.
DEDUPEINTERNAL=1 "$dz" scan --input a.img -o a.dat --hashSize 1000 --html scan.html > scan.out 2>&1 ||
    fail "scan: $(tail -3 scan.out)"
"$dz" scan --input b.img -o b.dat > b.out 2>&1 || fail "scan b: $(tail -3 b.out)"
"$dz" partialscan --input b.img -o p.dat --html partialscan.html > partial.out 2>&1 ||
    fail "partial scan: $(tail -3 partial.out)"
"$dz" merge --mergefiles a.dat,b.dat,p.dat -o m.dat --html merge.html > merge.out 2>&1 ||
    fail "merge: $(tail -3 merge.out)"

# Each page with the window height it needs to show all of it.
for shot in scan:3300 partialscan:1400 merge:4300; do
    page=${shot%:*} height=${shot#*:}
    [ -s "$page.html" ] || { fail "$page: no page"; continue; }
    # -e: errors and warnings only; any of them fails the page.
    if ! tidy -e -q "$page.html" > "$page.tidy" 2>&1; then
        fail "$page: tidy: $(head -5 "$page.tidy")"
    fi
    profile=$(mktemp -d "$work/profile.XXXXXX")
    # No network and a fresh profile: the page must draw from itself alone.
    timeout 120 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
        --disable-background-networking --disable-component-update --disable-sync \
        --user-data-dir="$profile" --enable-logging=stderr --v=0 --hide-scrollbars \
        --window-size="1000,$height" --screenshot="$shots/$page.png" "file://$work/$page.html" \
        > "$page.chromium" 2>&1 || fail "$page: chromium ended with $?"
    if grep -q ':CONSOLE' "$page.chromium"; then
        fail "$page: console message: $(grep ':CONSOLE' "$page.chromium" | head -3)"
    fi
    [ -s "$shots/$page.png" ] || { fail "$page: no screenshot"; continue; }
    # Not blank: dark text and lines on a light page, and more than a few
    # shades (the charts' hatching and greys).
    if ! "$py" - "$shots/$page.png" <<'EOF'
import sys
from PIL import Image
img = Image.open(sys.argv[1]).convert("L")
w, h = img.size
hist = img.histogram()
total = w * h
dark = sum(hist[:100]) / total
light = sum(hist[200:]) / total
shades = sum(1 for n in hist if n > 0)
# The top of the page (heading, answer boxes) must be drawn as well.
top = img.crop((0, 0, w, min(h, 400))).histogram()
top_dark = sum(top[:100])
ok = 0.005 < dark < 0.5 and light > 0.4 and shades > 16 and top_dark > 500
print(f"{sys.argv[1]}: {w}x{h} dark {dark:.3f} light {light:.3f} shades {shades} top dark px {top_dark}")
sys.exit(0 if ok else 1)
EOF
    then
        fail "$page: the screenshot looks blank"
    fi
done

if [ "$failures" -ne 0 ]; then
    echo "$failures failure(s)"
    exit 1
fi
echo "pages valid and rendered; screenshots in $shots"
