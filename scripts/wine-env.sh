# Sourced by the run scripts: a display (Xvfb) and a throw-away Wine prefix inside the build folder,
# served by one persistent wineserver. qm_wine_up starts them, qm_wine_down stops what it started.

qm_free_display() {
  local n
  for n in $(seq 90 140); do
    if [ ! -e "/tmp/.X${n}-lock" ] && [ ! -e "/tmp/.X11-unix/X${n}" ]; then
      echo "$n"
      return 0
    fi
  done
  return 1
}

qm_wine_up() {
  local build_dir=$1
  export WINEPREFIX="$build_dir/wineprefix"
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  export WINEARCH=win64

  local display
  display=$(qm_free_display) || { echo "no free X display" >&2; return 1; }
  # One screen of two monitors side by side, 1280x1024 each, so that following a game onto the
  # second monitor and across the boundary is tried too.
  Xvfb ":$display" -screen 0 2560x1024x24 -noreset -nolisten tcp -ac >"$build_dir/xvfb.log" 2>&1 &
  QM_XVFB_PID=$!
  export DISPLAY=":$display"
  local i
  for i in $(seq 1 100); do
    [ -e "/tmp/.X11-unix/X${display}" ] && break
    if ! kill -0 "$QM_XVFB_PID" 2>/dev/null; then
      echo "Xvfb did not start:" >&2
      cat "$build_dir/xvfb.log" >&2
      return 1
    fi
    sleep 0.1
  done

  xrandr --setmonitor qm-left 1280/338x1024/270+0+0 screen >/dev/null 2>&1 &&
    xrandr --setmonitor qm-right 1280/338x1024/270+1280+0 none >/dev/null 2>&1 ||
    echo "wine: the screen stays one monitor (xrandr --setmonitor failed)" >&2

  # A server left behind by an earlier run of this prefix would refuse to be made persistent.
  wineserver -k >/dev/null 2>&1 || true

  if [ ! -f "$WINEPREFIX/.qm-initialised-2" ]; then
    echo "wine: initialising $WINEPREFIX"
    rm -rf "$WINEPREFIX"
    wineboot -i >"$build_dir/wineboot.log" 2>&1 || { cat "$build_dir/wineboot.log" >&2; return 1; }
    wineserver -w
    # Monitors as X lays them out (the two above), not as RandR's outputs (one screen); read when
    # the prefix's programs start, so the server goes and the next one reads it.
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v UseXRandR /d N /f </dev/null >/dev/null 2>&1 || true
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w
    touch "$WINEPREFIX/.qm-initialised-2"
  fi
  # One server for the whole run: each program then starts in a fraction of a second.
  wineserver -p
  QM_WINE_STARTED=1
  # Start Wine's own services now, with nowhere to write: started later by a test program, they
  # would inherit its output pipe and keep CTest waiting for it to close.
  wine cmd /c exit </dev/null >/dev/null 2>&1 || true
  # No window manager runs on the virtual screen: Wine must not wait for one (it would, for two
  # seconds, each time a window is hidden).
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null 2>&1 || true
  # The same for the desktop process, which the first program that makes a window would start.
  wine rundll32.exe user32.dll,GetForegroundWindow </dev/null >/dev/null 2>&1 || true
}

qm_wine_down() {
  if [ -n "${QM_WINE_STARTED:-}" ]; then
    wineserver -k >/dev/null 2>&1 || true
    QM_WINE_STARTED=
  fi
  if [ -n "${QM_XVFB_PID:-}" ]; then
    kill "$QM_XVFB_PID" >/dev/null 2>&1 || true
    wait "$QM_XVFB_PID" 2>/dev/null || true
    QM_XVFB_PID=
  fi
}
