#!/usr/bin/env bash
# The installed package as a client team's build finds it: the host's build installed into a folder
# of its own, and a small outside project (tests/sdk/outside) configured against it alone, built,
# and its library importing the host's lock from qm-overlay.exe.
set -euo pipefail
build_dir=$1
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build_dir" --prefix "$work/sdk" >/dev/null
# A cross build searches for packages only below its target's root: the package's own folder is named.
cmake -S "$here/tests/sdk/outside" -B "$work/build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$here/cmake/toolchain-mingw64.cmake" \
  -Dqm-overlay-sdk_DIR="$work/sdk/lib/cmake/qm-overlay-sdk" >/dev/null
cmake --build "$work/build" >/dev/null
dll="$work/build/QMClient.dll"
imports=$(x86_64-w64-mingw32-objdump -p "$dll")
grep -q "GetOverlayManagerController" <<<"$imports" || { echo "sdk: the library exports no GetOverlayManagerController" >&2; exit 1; }
grep -q "DLL Name: qm-overlay.exe" <<<"$imports" || { echo "sdk: the library does not import from qm-overlay.exe" >&2; exit 1; }
echo "sdk: an outside project found qm-overlay-sdk in $work/sdk, built against it and imports the host's lock"
