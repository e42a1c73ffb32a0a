#!/usr/bin/env bash
# Runs a Windows program under Wine. CTest uses it for every test program; scripts/test.sh and
# scripts/demo.sh set up the prefix, the display and the wineserver that it expects.
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko: their installers would ask on screen and wait forever.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
if [ -z "${WINEPREFIX:-}" ]; then
  echo "wine-exec: WINEPREFIX is not set; run through scripts/test.sh or scripts/wine-env.sh" >&2
  exit 125
fi
# The program writes into a file, not into our caller's pipe: helper processes that Wine starts on
# its behalf (console hosts, the desktop) inherit its output and may outlive it, and a pipe they
# hold open would keep the caller waiting for its end.
out=$(mktemp "${TMPDIR:-/tmp}/qm-wine-out.XXXXXX")
wine "$@" >"$out" 2>&1 </dev/null
rc=$?
cat "$out"
rm -f "$out"
exit $rc
