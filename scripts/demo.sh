#!/usr/bin/env bash
# The main job: builds the host and runs it under Wine as the client runs it: the sample game, a
# stand-in client process and qm-overlay.exe with the reference client library. The game moves and
# resizes itself for a few seconds; a screenshot of the screen and the host's HTML log are left in
# demo-out/.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir="${QM_BUILD_DIR:-$here/build}"
out="$here/demo-out"

bash "$here/scripts/setup.sh"
QM_BUILD_DIR="$build_dir" bash "$here/scripts/build.sh"

# shellcheck source=wine-env.sh
source "$here/scripts/wine-env.sh"
trap qm_wine_down EXIT
qm_wine_up "$build_dir"

bin="$build_dir/bin"
rm -rf "$out"
# The host logs into the user's Local AppData of the Wine prefix.
logs="$WINEPREFIX/drive_c/users/$(id -un)/AppData/Local/QuillMar/Log"
mkdir -p "$logs" "$out"
# What the host logs: everything but debug rows (UTF-16LE, as the client writes it).
printf 'SEVERITY_LOW +\r\nSEVERITY_NORMAL +\r\nSEVERITY_MEDIUM +\r\nSEVERITY_HIGH +\r\nSEVERITY_CRITICAL +\r\nERROR H\r\nWARNING H\r\n' |
  iconv -f UTF-8 -t UTF-16LE >"$logs/QMLog.cfg"

# Reads "pid left top right bottom" that the sample game keeps in its info file.
wait_info() {
  local i
  for i in $(seq 1 200); do
    [ -s "$1" ] && { cat "$1" | tr -d '\r'; return 0; }
    sleep 0.05
  done
  echo "demo: $1 did not appear" >&2
  return 1
}

echo "demo: starting the stand-in client and the sample game"
wine "$bin/sample-game.exe" --hidden --title stand-in-client --exit-after 8000 \
  --info-file "$(winepath -w "$out/client.txt")" </dev/null >/dev/null 2>&1 &
wine "$bin/sample-game.exe" --pos 120,100 --size 640x480 --title "Sample Game" --exit-after 20000 \
  --script "1500:move 260 160;2500:size 760 520;3500:move 220 140" \
  --info-file "$(winepath -w "$out/game.txt")" </dev/null >/dev/null 2>&1 &
read -r client_pid _ < <(wait_info "$out/client.txt")
read -r game_pid _ < <(wait_info "$out/game.txt")

args=(--game-pid="$game_pid" --qm-pid="$client_pid" --game-process=sample-game.exe "--qm-client=$(winepath -w "$bin/client")")
echo "demo: qm-overlay.exe ${args[*]}"
"$here/scripts/wine-exec.sh" "$bin/qm-run.exe" --timeout 30000 -- \
  "$(winepath -w "$bin/qm-overlay.exe")" "${args[@]}" >"$out/host-result.txt" &
host=$!

# After the game's last move: the overlay sits over its client area with the client's panel.
sleep 5.5
import -display "$DISPLAY" -window root "$out/screenshot.png"
read -r _ left top right bottom < <(cat "$out/game.txt" | tr -d '\r')
panel=$(convert "$out/screenshot.png" -format "%[pixel:p{$((left + 176)),$((top + 64))}]" info:)
echo "demo: game client area ($left,$top)-($right,$bottom); panel pixel at (+176,+64): $panel"

wait "$host" || true
result=$(tr -d '\r' <"$out/host-result.txt")
cp "$logs"/qm-overlay_sample-game.exe_"$game_pid"_*.html "$out/" 2>/dev/null || true
echo "demo: host $result (the stand-in client ended after 8 s)"
echo "demo: screenshot: $out/screenshot.png"
echo "demo: log:        $(ls "$out"/*.html 2>/dev/null | head -1)"
case "$panel:$result" in
  "srgb(32,80,176):exit=0") echo "demo: the reference client's panel was drawn over the game, and the host ended when the client did." ;;
  *) echo "demo: unexpected result" >&2; exit 1 ;;
esac
