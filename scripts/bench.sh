#!/usr/bin/env bash
# Builds and runs the benchmarks under Wine; each prints its own figures.
#   bash scripts/bench.sh                 every benchmark but the soak
#   bash scripts/bench.sh soak [minutes]  the soak alone (default 10 minutes)
#   bash scripts/bench.sh NAME...         only those (e.g. host_cpu server_calls)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir="${QM_BUILD_DIR:-$here/build-bench}"
bash "$here/scripts/setup.sh"
QM_BUILD_DIR="$build_dir" QM_BUILD_TYPE=Release bash "$here/scripts/build.sh"
# shellcheck source=wine-env.sh
source "$here/scripts/wine-env.sh"
trap qm_wine_down EXIT
qm_wine_up "$build_dir"
# Wine's Direct3D runs a command-stream thread that polls for work after every frame; where CPU is
# counted, its CPU would go to whichever program renders and hide what that program's own loop
# costs, so it is off. Where latency is measured it stays on, as Wine ships: without it a thread's
# first Present makes that thread's GL context, a cost a player's Wine does not have.
d3d_key='HKCU\Software\Wine\Direct3D'
csmt_for() {
  case "$1" in
    stall | follow | hook | startup) wine reg delete "$d3d_key" /v csmt /f </dev/null >/dev/null 2>&1 || true ;;
    *) wine reg add "$d3d_key" /v csmt /t REG_DWORD /d 0 /f </dev/null >/dev/null 2>&1 || true ;;
  esac
}
if [ "${1:-}" = soak ]; then
  csmt_for soak
  echo "== soak_bench.exe"
  "$here/scripts/wine-exec.sh" "$build_dir/bin/soak_bench.exe" "${2:-10}"
  exit
fi
only=" $* "
wanted() { [ "$only" = "  " ] || [[ "$only" == *" $1 "* ]]; }
for b in "$build_dir"/bin/*_bench.exe; do
  case "$(basename "$b")" in soak_bench.exe | server_calls_bench.exe) continue ;; esac
  wanted "$(basename "$b" _bench.exe)" || continue
  csmt_for "$(basename "$b" _bench.exe)"
  echo "== $(basename "$b")"
  "$here/scripts/wine-exec.sh" "$b"
done

# The Wine server's requests, counted: last, with a server of its own that traces every request
# (the tracing slows all that it serves). QM_SERVER_TRACE=0 leaves it out.
[ "${QM_SERVER_TRACE:-1}" = 0 ] && exit 0
wanted server_calls || exit 0
csmt_for server_calls
echo "== server_calls_bench.exe"
trace="$build_dir/server-trace.log"
wineserver -k >/dev/null 2>&1 || true
wineserver -w
wineserver -f -p -d1 2>"$trace" &
server=$!
# The server is up once a program can start; then Wine's own services, as qm_wine_up starts them.
wine cmd /c exit </dev/null >/dev/null 2>&1 || true
wine rundll32.exe user32.dll,GetForegroundWindow </dev/null >/dev/null 2>&1 || true
QM_SERVER_TRACE="Z:${trace//\//\\}" QM_SERVER_PID=$server "$here/scripts/wine-exec.sh" "$build_dir/bin/server_calls_bench.exe"
wineserver -k >/dev/null 2>&1 || true
wait "$server" 2>/dev/null || true
rm -f "$trace"
