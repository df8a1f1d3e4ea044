#!/usr/bin/env bash
# Runs every benchmark program of a build folder and prints its figures, then the benchmarks
# that run the real programs (bench/*.py: the simulator's cost, the tracking reaction of the
# application on the simulator, under a virtual display and a session bus of their own).
set -euo pipefail
build=${1:-build-bench}
root=$(cd "$(dirname "$0")/.." && pwd)
found=0
for b in "$build"/bench/*Bench; do
  [ -x "$b" ] || continue
  found=1
  echo "== $(basename "$b")"
  if [ "$(basename "$b")" = KernelRigBench ]; then
    # Its figures come from inside the kernel rig; where QEMU cannot run it says so and the
    # other figures still come.
    status=0
    VEXRIG_VEXSIM="$build/tools/vexsim/vexsim" \
      "$root/scripts/kernel-rig.sh" -- "$b" || status=$?
    [ "$status" = 0 ] || [ "$status" = 77 ] || exit "$status"
  else
    "$b"
  fi
done
[ "$found" = 1 ] || { echo "no benchmarks built in $build/bench"; exit 1; }
for b in "$root"/bench/*.py; do
  echo "== $(basename "$b")"
  dbus-run-session -- /usr/bin/python3 "$b" "$build"
done
