#!/usr/bin/env bash
# Run by CTest inside scripts/test.sh's Wine set-up: the real logger writes a log whose rows carry
# hostile and non-ASCII text (log-in-browser.exe write), headless Chromium opens it once through
# read_log.html, which writes out what the browser built, and the tool checks that (log-in-browser.exe
# check).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
tool=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/qm-log-in-browser.XXXXXX")
trap 'rm -rf "$work"' EXIT
"$here/scripts/wine-exec.sh" "$tool" write "$(winepath -w "$work")"
log=$(find "$work" -maxdepth 1 -name '*.html' | head -n 1)
[ -n "$log" ] || { echo "FAIL: no log was written in $work" >&2; exit 1; }
cp "$here/tests/logging/read_log.html" "$work/"
# The reader page looks into the log's frame: pages from files may read other files only with this.
bash "$here/scripts/chromium.sh" --allow-file-access-from-files --dump-dom \
  "file://$work/read_log.html#$(basename "$log")" >"$work/dom.html"
"$here/scripts/wine-exec.sh" "$tool" check "$(winepath -w "$work/dom.html")" "$(basename "$log")"
