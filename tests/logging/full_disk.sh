#!/usr/bin/env bash
# Run by CTest inside scripts/test.sh's Wine set-up: the logger test that fills its log's disk runs
# with the log folder on a small disk of its own (a 1 MiB tmpfs, which needs root); where none can be
# mounted, the test is skipped.
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
tests=$1
disk=$(mktemp -d "${TMPDIR:-/tmp}/qm-small-disk.XXXXXX")
if ! mount -t tmpfs -o size=1m tmpfs "$disk" 2>/dev/null; then
  rmdir "$disk"
  echo "skipped: no small disk could be mounted (needs root)"
  exit 77
fi
trap 'umount -l "$disk"; rmdir "$disk"' EXIT
QM_TEST_SMALL_DISK=$(winepath -w "$disk") "$here/scripts/wine-exec.sh" "$tests" \
  --gtest_filter='FlushLoggerDisk.*'
