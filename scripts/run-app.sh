#!/usr/bin/env bash
# Starts VantorReda from a build folder (default: build). The application refuses to start
# without a system tray, so on a machine without a display this first starts a virtual one
# (Xvfb, on a display number it picks itself) with a tray (trayer), waits until both are
# really up, and takes them down again when the application ends.
set -euo pipefail
build=${1:-build}
app="$build/app/VantorReda"
if [ ! -x "$app" ]; then
  echo "run: $app is not built (make build)" >&2
  exit 1
fi

if [ -n "${DISPLAY:-}" ]; then
  echo "run: starting $app on $DISPLAY"
  exec "$app"
fi

for tool in Xvfb trayer xwininfo; do
  command -v "$tool" >/dev/null || { echo "run: $tool is missing (make deps)" >&2; exit 1; }
done

workdir=$(mktemp -d)
helpers=()
app_pid=
cleanup() {
  local pid
  if [ -n "$app_pid" ]; then kill "$app_pid" 2>/dev/null || true; wait "$app_pid" 2>/dev/null || true; fi
  for pid in "${helpers[@]}"; do kill "$pid" 2>/dev/null || true; done
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

# -displayfd: Xvfb chooses a free display and writes its number once it accepts clients.
Xvfb -displayfd 3 -screen 0 1600x1000x24 -nolisten tcp 3>"$workdir/display" >"$workdir/xvfb.log" 2>&1 &
helpers+=($!)
xvfb_ready() {
  kill -0 "${helpers[0]}" 2>/dev/null || { cat "$workdir/xvfb.log" >&2; exit 1; }
  grep -q '^[0-9][0-9]*$' "$workdir/display" 2>/dev/null
}
wait_for 20 xvfb_ready || { echo "run: Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$workdir/display")"
echo "run: no DISPLAY; started a virtual display $DISPLAY with a system tray (trayer)"

trayer --edge top --align right --widthtype request --height 24 >"$workdir/trayer.log" 2>&1 &
helpers+=($!)
# The tray is usable once trayer has mapped its panel and created its selection window.
tray_ready() {
  kill -0 "${helpers[1]}" 2>/dev/null || { cat "$workdir/trayer.log" >&2; exit 1; }
  local tree
  tree=$(xwininfo -root -tree 2>/dev/null) || return 1
  grep -q '"panel": ("panel" "trayer")' <<<"$tree" && grep -q '"trayer": ()' <<<"$tree"
}
wait_for 20 tray_ready || { echo "run: trayer did not start" >&2; exit 1; }

echo "run: starting $app (it lives in the tray; Ctrl-C ends it here)"
status=0
"$app" &
app_pid=$!
wait "$app_pid" || status=$?
app_pid=
exit "$status"
