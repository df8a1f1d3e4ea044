#!/usr/bin/env bash
# Runs every benchmark program of a build folder and prints its figures.
set -euo pipefail
build=${1:-build-bench}
found=0
for b in "$build"/bench/*Bench; do
  [ -x "$b" ] || continue
  found=1
  echo "== $(basename "$b")"
  "$b"
done
[ "$found" = 1 ] || { echo "no benchmarks built in $build/bench"; exit 1; }
