#!/usr/bin/env bash
# The second compiler: builds the host, the reference libraries and the tests again with Debian's
# clang for the same mingw-w64 target (preset clang-mingw64, into build-clang/ or
# $QM_CLANG_BUILD_DIR), with the same warnings, each one an error. Building is the check: the suite
# runs on the GCC build. Extra arguments go to cmake --build.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
QM_PRESET=clang-mingw64 QM_BUILD_DIR="${QM_CLANG_BUILD_DIR:-$here/build-clang}" bash "$here/scripts/build.sh" "$@"
