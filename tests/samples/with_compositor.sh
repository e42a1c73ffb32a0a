#!/usr/bin/env bash
# Run by CTest inside scripts/test.sh's Wine set-up: the see-through case with a compositing manager
# (Debian's xcompmgr, from scripts/setup.sh) on the test bed's display for its duration, so that what
# is half transparent is blended as a player's desktop blends it.
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
tests=$1
command -v xcompmgr >/dev/null || { echo "FAIL: xcompmgr is not installed (scripts/setup.sh installs it)" >&2; exit 1; }
xcompmgr -d "$DISPLAY" >/dev/null 2>&1 &
compositor=$!
trap 'kill "$compositor" 2>/dev/null; wait "$compositor" 2>/dev/null' EXIT
sleep 0.5
kill -0 "$compositor" 2>/dev/null || { echo "FAIL: xcompmgr did not start on $DISPLAY" >&2; exit 1; }
QM_TEST_COMPOSITOR=1 "$here/scripts/wine-exec.sh" "$tests" \
  --gtest_filter='SeeThrough.WithACompositorTheClientsHalfTransparentPixelsAreBlendedOverTheGame'
