#!/usr/bin/env bash
# Installs what is missing, builds (with GCC, then with clang as well), and runs the whole test suite
# under Wine on the GCC build. Extra arguments go to ctest (e.g. scripts/test.sh -R CommandLineArgs).
# The exit code is the result.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir="${QM_BUILD_DIR:-$here/build}"

start=$(date +%s)
bash "$here/scripts/setup.sh"
QM_BUILD_DIR="$build_dir" bash "$here/scripts/build.sh"
built=$(date +%s)
# The same code through a second compiler, warning-free; QM_CLANG_BUILD=0 leaves it out.
[ "${QM_CLANG_BUILD:-1}" = 0 ] || bash "$here/scripts/build-clang.sh"
echo "test.sh: set-up and build $(( built - start )) s, clang build $(( $(date +%s) - built )) s"

# shellcheck source=wine-env.sh
source "$here/scripts/wine-env.sh"
trap qm_wine_down EXIT
qm_wine_up "$build_dir"

status=0
(cd "$build_dir" && ctest --output-on-failure -j "${QM_TEST_JOBS:-2}" "$@") || status=$?
echo "test.sh: $(( $(date +%s) - start )) s"
exit $status
