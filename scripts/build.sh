#!/usr/bin/env bash
# Configures and builds into build/ (or $QM_BUILD_DIR); extra arguments go to cmake --build (e.g.
# --target qm-overlay).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir="${QM_BUILD_DIR:-$here/build}"
cmake -S "$here" -B "$build_dir" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$here/cmake/toolchain-mingw64.cmake" \
  -DCMAKE_BUILD_TYPE="${QM_BUILD_TYPE:-RelWithDebInfo}" >/dev/null
cmake --build "$build_dir" "$@"
