#!/usr/bin/env bash
# Run by CTest inside scripts/test.sh's Wine set-up: the real logger writes a log whose rows carry
# hostile and non-ASCII text (log-in-browser.exe write), headless Chromium loads it once and dumps
# the DOM it built, and the tool checks that DOM (log-in-browser.exe check).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
tool=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/qm-log-in-browser.XXXXXX")
trap 'rm -rf "$work"' EXIT
"$here/scripts/wine-exec.sh" "$tool" write "$(winepath -w "$work")"
log=$(find "$work" -maxdepth 1 -name '*.html' | head -n 1)
[ -n "$log" ] || { echo "FAIL: no log was written in $work" >&2; exit 1; }
bash "$here/scripts/chromium.sh" --dump-dom "file://$log" >"$work/dom.html"
"$here/scripts/wine-exec.sh" "$tool" check "$(winepath -w "$work/dom.html")" "$(basename "$log")"
