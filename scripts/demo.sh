#!/usr/bin/env bash
# The main job: builds the host and runs it under Wine as the client runs it: the sample game, a
# stand-in client process and qm-overlay.exe with the reference client library. The game moves and
# resizes itself for a few seconds. Left in demo-out/: the screen with the overlay on the game, as a
# desktop with a compositing manager shows it, the host's HTML log and that log as a browser shows it.
#   bash scripts/demo.sh                    the reference client
#   bash scripts/demo.sh --client imgui     the Dear ImGui reference client
#   bash scripts/demo.sh --client FOLDER    any client library: FOLDER holds its QMClient.dll
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir="${QM_BUILD_DIR:-$here/build}"
out="$here/demo-out"

client=reference
if [ "${1:-}" = --client ]; then
  [ -n "${2:-}" ] || { echo "demo: --client wants imgui or a folder holding QMClient.dll" >&2; exit 2; }
  client=$2
  if [ "$client" != imgui ]; then
    client=$(cd "$client" 2>/dev/null && pwd) || { echo "demo: no such folder: $2" >&2; exit 2; }
    [ -f "$client/QMClient.dll" ] || { echo "demo: $client holds no QMClient.dll" >&2; exit 2; }
  fi
elif [ $# -gt 0 ]; then
  echo "usage: bash scripts/demo.sh [--client imgui|FOLDER]" >&2
  exit 2
fi

bash "$here/scripts/setup.sh"
# Only what the demo runs, not the test programs.
targets=(qm-overlay sample_game sample_client qm-run)
[ "$client" = imgui ] && targets+=(imgui_client)
QM_BUILD_DIR="$build_dir" bash "$here/scripts/build.sh" --target "${targets[@]}"

# shellcheck source=wine-env.sh
source "$here/scripts/wine-env.sh"
trap qm_wine_down EXIT
qm_wine_up "$build_dir"

# A compositing manager on the screen, as on a player's desktop: without composition the overlay is a
# layered window with per-pixel alpha, which it blends over the game.
xcompmgr -d "$DISPLAY" >/dev/null 2>&1 &
compositor=$!
trap 'kill "$compositor" 2>/dev/null; qm_wine_down' EXIT
sleep 0.5

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
# The stand-in client lives 12 s: the host needs a few of them to show the overlay over the moved game
# (under load, up to 8), and the screen is captured while it is shown.
wine "$bin/sample-game.exe" --hidden --title stand-in-client --exit-after 12000 \
  --info-file "$(winepath -w "$out/client.txt")" </dev/null >/dev/null 2>&1 &
wine "$bin/sample-game.exe" --pos 120,100 --size 640x480 --title "Sample Game" --exit-after 20000 \
  --script "1500:move 260 160;2500:size 760 520;3500:move 220 140" \
  --info-file "$(winepath -w "$out/game.txt")" </dev/null >/dev/null 2>&1 &
read -r client_pid _ < <(wait_info "$out/client.txt")
read -r game_pid _ < <(wait_info "$out/game.txt")

case "$client" in
  reference) client_dir="$bin/client" ;;
  imgui) client_dir="$bin/imgui-client" ;;
  *) client_dir="$client" ;;
esac
args=(--game-pid="$game_pid" --qm-pid="$client_pid" --game-process=sample-game.exe "--qm-client=$(winepath -w "$client_dir")")
echo "demo: qm-overlay.exe ${args[*]}"
"$here/scripts/wine-exec.sh" "$bin/qm-run.exe" --timeout 30000 -- \
  "$(winepath -w "$bin/qm-overlay.exe")" "${args[@]}" >"$out/host-result.txt" &
host=$!

pixel() { convert "$1" -format "%[pixel:p{$2,$3}]" info:; }
# Whether a pixel "srgb(r,g,b)" is within 2 of r g b in each channel (compositors round differently).
near() {
  local r g b
  IFS=, read -r r g b <<<"$(tr -d 'srgb()' <<<"$1")"
  (( ${r:-999} - $2 <= 2 && $2 - ${r:-999} <= 2 && ${g:-999} - $3 <= 2 && $3 - ${g:-999} <= 2 &&
     ${b:-999} - $4 <= 2 && $4 - ${b:-999} <= 2 ))
}

# After the game's last move the overlay sits over its client area with the client's drawing, until
# the stand-in client ends: the screen is captured once it shows there. The reference panel
# (premultiplied 32,80,176 at alpha 224) blends over the game's 32,96,128 to 35,91,191; the Dear
# ImGui client's window body is dark; the rest shows the game. Another team's library is captured
# as it draws, unchecked.
sleep 4
read -r _ left top right bottom < <(tr -d '\r' <"$out/game.txt")
clear_x=$(( (left + right) / 2 )) clear_y=$(( top + (bottom - top) * 3 / 4 ))
drawn() {
  case "$client" in
    reference) near "$panel" 35 91 191 ;;
    imgui) dark "$panel" ;;
    *) true ;;
  esac
}
# Whether a pixel "srgb(r,g,b)" is darker than 48 in each channel.
dark() {
  local r g b
  IFS=, read -r r g b <<<"$(tr -d 'srgb()' <<<"$1")"
  (( ${r:-999} < 48 && ${g:-999} < 48 && ${b:-999} < 48 ))
}
case "$client" in
  imgui) probe_x=$((left + 224)) probe_y=$((top + 114)) ;;
  *) probe_x=$((left + 176)) probe_y=$((top + 64)) ;;
esac
for i in $(seq 1 30); do
  # The first of the screen's two monitors, where the game is.
  import -display "$DISPLAY" -window root -crop 1280x1024+0+0 +repage "$out/screenshot.png"
  panel=$(pixel "$out/screenshot.png" "$probe_x" "$probe_y")
  seen=$(pixel "$out/screenshot.png" "$clear_x" "$clear_y")
  drawn && { [ "$client" != reference ] && [ "$client" != imgui ] || near "$seen" 32 96 128; } && break
  sleep 0.2
done
echo "demo: game client area ($left,$top)-($right,$bottom); the client's drawing at ($probe_x,$probe_y): $panel; clear part: $seen"

wait "$host" || true
result=$(tr -d '\r' <"$out/host-result.txt")

# This run's log: the newest of its name (the prefix keeps earlier runs', whose process ids repeat).
log=$(ls -t "$logs"/qm-overlay_sample-game.exe_"$game_pid"_*.html 2>/dev/null | head -n 1 || true)
if [ -n "$log" ]; then
  cp "$log" "$out/"
  log="$out/$(basename "$log")"
  # Tall enough for every row of the table.
  rows=$(grep -o '<tr' "$log" | wc -l)
  bash "$here/scripts/chromium.sh" --hide-scrollbars --window-size=1280,$((40 + rows * 16)) \
    --screenshot="$out/log.png" "file://$log" >/dev/null
fi
echo "demo: host $result (the stand-in client ended after 12 s)"
echo "demo: screen:   $out/screenshot.png (the game through the overlay, the client's drawing over it)"
echo "demo: log:      ${log:-none} (as a browser shows it: $out/log.png)"
# What a client team reads first: the statistics rows (its own share of each frame in client_ms_*)
# and the error rows.
if [ -n "$log" ]; then
  rows_of() {
    grep -o "<tr class=\"$1\">.*</tr>" "$log" | sed -e 's#</td><td[^>]*>#  #g' -e 's#<[^>]*>##g' -e 's#&lt;#<#g' -e 's#&gt;#>#g' -e 's#&amp;#\&#g'
  }
  echo "demo: statistics rows:"
  rows_of info | grep "OOPManager::Statistics" | sed 's/^/  /' || true
  echo "demo: error rows:"
  rows_of error | sed 's/^/  /' || echo "  none"
fi
if [ "$client" != reference ] && [ "$client" != imgui ]; then
  [ "$result" = "exit=0" ] || { echo "demo: the host did not end cleanly with this client library" >&2; exit 1; }
  echo "demo: the host ran your client library over the sample game and ended when the client did."
  exit 0
fi
if ! drawn || ! near "$seen" 32 96 128 || [ "$result" != "exit=0" ]; then
  echo "demo: unexpected result: the panel or the game not on the screen as they should be" >&2
  exit 1
fi
# Header and footer are rows too: a log with nothing logged has two.
[ "${rows:-0}" -gt 2 ] && [ -s "$out/log.png" ] || { echo "demo: no log rows, or no picture of them" >&2; exit 1; }
echo "demo: the $client client's drawing was over the game, and the host ended when the client did."
