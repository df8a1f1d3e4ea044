#!/usr/bin/env bash
# Starts VantorReda from a build folder. On a machine without a display it starts a virtual
# one (Xvfb) with a system tray (trayer), because the application refuses to start without
# a tray.
set -euo pipefail
build=${1:-build}
app="$build/app/VantorReda"
if [ ! -x "$app" ]; then
  echo "run: $app is not built yet; the library and tests are built. It would start: $app"
  exit 0
fi
if [ -z "${DISPLAY:-}" ]; then
  display=:77
  echo "run: no DISPLAY; starting Xvfb on $display with a tray (trayer)"
  Xvfb "$display" -screen 0 1600x1000x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb_pid=$!
  trap 'kill $tray_pid $xvfb_pid 2>/dev/null || true' EXIT
  export DISPLAY=$display
  for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
  trayer --edge top --align right --widthtype request --height 24 >/dev/null 2>&1 &
  tray_pid=$!
  sleep 1
fi
echo "run: starting $app"
exec "$app"
