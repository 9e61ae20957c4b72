#!/bin/bash
# SPDX-License-Identifier: BSD-3-Clause
# Opens the page in headless Chromium and fails unless the conformance
# battery, run in the browser, matches every committed family.
#
#   examples/web/check.sh WEB_DIR
#
# WEB_DIR is a build's web/ folder (index.html, page.mjs, the conformance
# program built for the browser and golden.txt; the target conformance_web
# of an emscripten build makes it). It is served on 127.0.0.1 by python's
# http.server on a free port; Chromium loads the page with a fresh profile,
# nothing fetched from elsewhere, and prints the page's document once the
# battery has run (--dump-dom after a virtual-time budget).
set -euo pipefail
web=$(cd "$1" && pwd)
chromium=${CHROMIUM:-/usr/bin/chromium}
for f in index.html page.mjs conformance_web.mjs conformance_web.wasm golden.txt; do
    [ -f "$web/$f" ] || { echo "no $f in $web"; exit 1; }
done
work=$(mktemp -d)
server=""
cleanup() {
    [ -z "$server" ] || kill "$server" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
: >"$work/server.log"  # there before the loop below reads it
python3 -u -m http.server 0 --bind 127.0.0.1 --directory "$web" >>"$work/server.log" 2>&1 &
server=$!
port=""
for _ in $(seq 100); do
    port=$(sed -n 's/.* port \([0-9]*\) .*/\1/p' "$work/server.log" | head -n 1)
    [ -n "$port" ] && break
    sleep 0.1
done
[ -n "$port" ] || { echo "the web server did not start:"; cat "$work/server.log"; exit 1; }
url="http://127.0.0.1:$port/index.html"
echo "   $url in $("$chromium" --version 2>/dev/null | head -n 1)"
timeout 120 "$chromium" --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync \
    --user-data-dir="$work/profile" --virtual-time-budget=60000 --dump-dom "$url" \
    >"$work/page.html" 2>"$work/chromium.log" || {
    echo "chromium failed:"
    tail -n 20 "$work/chromium.log"
    exit 1
}
families=$(grep -c '^family ' "$web/golden.txt")
matched=$(grep -o '<tr data-family="[a-z_0-9]*" data-result="match">' "$work/page.html" | wc -l)
status=$(grep -o '<p id="status" data-result="[a-z]*">[^<]*' "$work/page.html" || echo "no status on the page")
echo "   ${status##*>}"
grep -o '<tr data-family="[a-z_0-9]*" data-result="mismatch">' "$work/page.html" |
    sed 's/.*data-family="\([^"]*\)".*/   differs: \1/' || true
if [[ "$status" != *'data-result="match"'* ]] || [ "$matched" -ne "$families" ]; then
    echo "   FAIL: $matched of $families families match in the browser; the battery's report:"
    sed -n '/<pre id="report">/,/<\/pre>/p' "$work/page.html" | sed 's/<[^>]*>//g; s/^/   /'
    exit 1
fi
echo "   the browser reproduces all $families committed digests"
