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
exec wine "$@"
