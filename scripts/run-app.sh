#!/usr/bin/env bash
# Starts VantorReda from a build folder (default: build).
#
# Which devices: with VEXSDK_SIM set, or with a supported camera attached (USB vendor 1d4d),
# the application runs on them as they are. Otherwise this runs the demonstration: the
# simulator (vexsim) with tools/vexsim/scenarios/demo.json -- two cameras whose pictures show a
# room with eight numbered seats, each room in colours of its own, and a Shure array on
# 127.0.0.1 whose talker moves from seat to seat -- and the application on them, with its own
# settings folder seeded from demo-settings.json (array linked, several cameras, positions 1-4
# linked to the front camera's presets and 5-8 to the side camera's, both cameras saved as
# connected). The user's own settings are never read or written in the demonstration.
#
# The application refuses to start without a system tray, so on a machine without a display
# this first starts a virtual one (Xvfb, on a display number it picks itself) with a tray
# (trayer). Everything started here is stopped, by its process id, when the application ends.
set -euo pipefail
build=${1:-build}
root=$(cd "$(dirname "$0")/.." && pwd)
app="$build/app/VantorReda"
sim="$build/tools/vexsim/vexsim"
if [ ! -x "$app" ]; then
  echo "run: $app is not built (make build)" >&2
  exit 1
fi

workdir=$(mktemp -d)
helpers=()
app_pid=
cleanup() {
  local pid
  if [ -n "$app_pid" ]; then kill "$app_pid" 2>/dev/null || true; wait "$app_pid" 2>/dev/null || true; fi
  # Newest first: the simulator goes before the display it may be shown on.
  for ((i = ${#helpers[@]} - 1; i >= 0; i--)); do kill "${helpers[$i]}" 2>/dev/null || true; done
  for pid in "${helpers[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$workdir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Polls a condition for at most $1 seconds; the condition is the rest of the arguments.
wait_for() {
  local limit=$1; shift
  local deadline=$((SECONDS + limit))
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.1
  done
}

camera_attached() {
  local v
  for v in /sys/bus/usb/devices/*/idVendor; do
    [ -r "$v" ] && [ "$(cat "$v" 2>/dev/null)" = 1d4d ] && return 0
  done
  return 1
}

if [ -z "${VEXSDK_SIM:-}" ] && ! camera_attached; then
  if [ ! -x "$sim" ]; then
    echo "run: $sim is not built (make build)" >&2
    exit 1
  fi
  export VEXSDK_SIM="$workdir/vexsim.sock"
  export ALLUSERSPROFILE="$workdir/demo-settings"
  mkdir -p "$ALLUSERSPROFILE/Quillon/Vantor/Config"
  cp "$root/tools/vexsim/scenarios/demo-settings.json" "$ALLUSERSPROFILE/Quillon/Vantor/Config/SoundDeviceConfig.ini"
  "$sim" --socket "$VEXSDK_SIM" --scenario "$root/tools/vexsim/scenarios/demo.json" >"$workdir/vexsim.log" 2>&1 &
  helpers+=($!)
  sim_ready() {
    kill -0 "${helpers[0]}" 2>/dev/null || { cat "$workdir/vexsim.log" >&2; exit 1; }
    [ -S "$VEXSDK_SIM" ]
  }
  wait_for 20 sim_ready || { echo "run: the simulator did not start" >&2; exit 1; }
  echo "run: no camera found, so this is the demonstration (two simulated cameras and a Shure array, settings in a" \
       "throw-away folder); attach a camera (USB vendor 1d4d) or set VEXSDK_SIM to run against real devices"
  echo "run: the room page: http://127.0.0.1:8940/ (open it in a browser on this computer)"
fi

if [ -z "${DISPLAY:-}" ]; then
  for tool in Xvfb trayer xwininfo; do
    command -v "$tool" >/dev/null || { echo "run: $tool is missing (make deps)" >&2; exit 1; }
  done
  # -displayfd: Xvfb chooses a free display and writes its number once it accepts clients.
  # -noreset: the looks at the window tree below are each the server's last client when they
  # leave, and a server that resets then refuses a tray panel that knocks meanwhile.
  Xvfb -displayfd 3 -screen 0 1600x1000x24 -nolisten tcp -noreset 3>"$workdir/display" >"$workdir/xvfb.log" 2>&1 &
  helpers+=($!)
  xvfb_pid=$!
  xvfb_ready() {
    kill -0 "$xvfb_pid" 2>/dev/null || { cat "$workdir/xvfb.log" >&2; exit 1; }
    grep -q '^[0-9][0-9]*$' "$workdir/display" 2>/dev/null
  }
  wait_for 20 xvfb_ready || { echo "run: Xvfb did not start" >&2; exit 1; }
  export DISPLAY=":$(head -n1 "$workdir/display")"
  echo "run: no DISPLAY; started a virtual display $DISPLAY with a system tray (trayer)"

  trayer --edge top --align right --widthtype request --height 24 >"$workdir/trayer.log" 2>&1 &
  helpers+=($!)
  trayer_pid=$!
  # The tray is usable once trayer has mapped its panel and created its selection window.
  tray_ready() {
    kill -0 "$trayer_pid" 2>/dev/null || { cat "$workdir/trayer.log" >&2; exit 1; }
    local tree
    tree=$(xwininfo -root -tree 2>/dev/null) || return 1
    grep -q '"panel": ("panel" "trayer")' <<<"$tree" && grep -q '"trayer": ()' <<<"$tree"
  }
  wait_for 20 tray_ready || { echo "run: trayer did not start" >&2; exit 1; }
fi

echo "run: starting $app on $DISPLAY (it lives in the tray; Ctrl-C ends it here)"
status=0
"$app" &
app_pid=$!
wait "$app_pid" || status=$?
app_pid=
exit "$status"
