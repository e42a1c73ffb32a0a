#!/usr/bin/env bash
# Runs Debian's headless Chromium once with the given arguments (e.g. --dump-dom URL, or
# --screenshot=FILE --window-size=W,H URL), in a throw-away profile. It runs as root here only
# without its sandbox, and the background-networking flags keep it from connections that this
# machine's closed network refuses. Its own chatter goes to stderr only when it fails.
set -uo pipefail
profile=$(mktemp -d "${TMPDIR:-/tmp}/qm-chromium.XXXXXX")
log="$profile.log"
trap 'rm -rf "$profile" "$log"' EXIT
# No session bus here: without this it waits for one.
DBUS_SESSION_BUS_ADDRESS=disabled: chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
  --disable-background-networking --disable-component-update --disable-sync --user-data-dir="$profile" \
  "$@" 2>"$log"
rc=$?
[ $rc -eq 0 ] || cat "$log" >&2
exit $rc
