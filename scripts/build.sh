#!/usr/bin/env bash
# Configures with a preset of CMakePresets.json ($QM_PRESET; mingw64, the mingw-w64 cross build,
# unless told) and builds into the preset's folder, or $QM_BUILD_DIR; $QM_BUILD_TYPE replaces the
# preset's build type. Extra arguments go to cmake --build (e.g. --target qm-overlay).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
preset="${QM_PRESET:-mingw64}"
configure=(--preset "$preset")
[ -z "${QM_BUILD_DIR:-}" ] || configure+=(-B "$QM_BUILD_DIR")
[ -z "${QM_BUILD_TYPE:-}" ] || configure+=(-DCMAKE_BUILD_TYPE="$QM_BUILD_TYPE")
cd "$here"
cmake "${configure[@]}" >/dev/null
if [ -n "${QM_BUILD_DIR:-}" ]; then
  cmake --build "$QM_BUILD_DIR" "$@"
else
  cmake --build --preset "$preset" "$@"
fi
