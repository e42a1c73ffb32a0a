#!/usr/bin/env bash
# Builds and runs the benchmarks under Wine; each prints its own figures.
#   bash scripts/bench.sh                 every benchmark but the soak
#   bash scripts/bench.sh soak [minutes]  the soak alone (default 10 minutes)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir="${QM_BUILD_DIR:-$here/build-bench}"
bash "$here/scripts/setup.sh"
QM_BUILD_DIR="$build_dir" QM_BUILD_TYPE=Release bash "$here/scripts/build.sh"
# shellcheck source=wine-env.sh
source "$here/scripts/wine-env.sh"
trap qm_wine_down EXIT
qm_wine_up "$build_dir"
# Wine's Direct3D runs a command-stream thread that polls for work after every frame; its CPU would
# be counted to whichever program renders and hide what that program's own loop costs.
wine reg add 'HKCU\Software\Wine\Direct3D' /v csmt /t REG_DWORD /d 0 /f </dev/null >/dev/null 2>&1 || true
if [ "${1:-}" = soak ]; then
  echo "== soak_bench.exe"
  "$here/scripts/wine-exec.sh" "$build_dir/bin/soak_bench.exe" "${2:-10}"
  exit
fi
for b in "$build_dir"/bin/*_bench.exe; do
  [ "$(basename "$b")" = soak_bench.exe ] && continue
  echo "== $(basename "$b")"
  "$here/scripts/wine-exec.sh" "$b"
done
