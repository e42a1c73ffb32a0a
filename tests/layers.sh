#!/usr/bin/env bash
# Includes point down the layers: each folder may include its own headers, the contract headers and
# the folders below it, never one above or beside it.
#   app > render, plugins > core > input > gamewindow > logging, crash > common; app > diagnostics
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
declare -A below=(
  [common]=""
  [logging]="common"
  [crash]="common"
  [gamewindow]="logging common"
  [input]="gamewindow logging common"
  [core]="input gamewindow crash logging common"
  [render]="core input gamewindow crash logging common"
  [plugins]="core input gamewindow crash logging common"
  [diagnostics]="crash logging common"
  [app]="render plugins diagnostics core input gamewindow crash logging common"
)
status=0
for folder in "${!below[@]}"; do
  allowed=" $folder qm ${below[$folder]} "
  while IFS=: read -r file included; do
    if [[ "$allowed" != *" $included "* ]]; then
      echo "layers: ${file#"$root"/} includes $included/, which is not below $folder/"
      status=1
    fi
  done < <(grep -o '#include "[a-z]*/' "$root/$folder"/*.cpp "$root/$folder"/*.h 2>/dev/null |
             sed 's|#include "\([a-z]*\)/|\1|')
done
[ $status -ne 0 ] || echo "layers: every include points down"
exit $status
