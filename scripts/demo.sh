#!/usr/bin/env bash
# The main job: builds the host and starts it under Wine the way the client starts it, with the
# sample client library, then prints how it ended. Until the renderer is built in, the Direct3D 11
# manager stops at its renderer step (exit code -997).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir="${QM_BUILD_DIR:-$here/build}"

bash "$here/scripts/setup.sh"
QM_BUILD_DIR="$build_dir" bash "$here/scripts/build.sh"

# shellcheck source=wine-env.sh
source "$here/scripts/wine-env.sh"
trap qm_wine_down EXIT
qm_wine_up "$build_dir"

bin="$build_dir/bin"
exe=$(winepath -w "$bin/qm-overlay.exe")
client=$(winepath -w "$bin/client")
args=(--game-pid=4242 --qm-pid=4343 --game-process=game.exe "--qm-client=$client")
echo "demo: qm-overlay.exe ${args[*]}"
result=$("$here/scripts/wine-exec.sh" "$bin/qm-run.exe" --timeout 60000 -- "$exe" "${args[@]}" | tr -d '\r')
echo "demo: $result"
case "$result" in
  "exit=-997") echo "demo: the host read its command line, loaded the sample client library, started its controller and stopped at the renderer step, as this build should." ;;
  exit=*) echo "demo: unexpected exit code" >&2; exit 1 ;;
  *) echo "demo: the host did not end in time" >&2; exit 1 ;;
esac
