#!/usr/bin/env bash
# Compiles every library source for aarch64 (ARM room PCs) without linking: Debian's cross
# compiler checks that nothing in the library is tied to x86 (intrinsics, inline assembly,
# type sizes). The host's FFmpeg, OpenCV, dlib, ALSA and udev headers stand in for the
# target's; they are searched after the compiler's own, so the target's system headers win.
set -euo pipefail
cd "$(dirname "$0")/.."
cxx=${AARCH64_CXX:-aarch64-linux-gnu-g++}
if ! command -v "$cxx" >/dev/null; then
  echo "check-aarch64: $cxx not found (package g++-aarch64-linux-gnu; scripts/install-deps.sh installs it)" >&2
  exit 1
fi
flags=(
  -std=c++20 -fsyntax-only -Wall -Wextra -DVEXSDK_BUILDING
  -IDC_lib/include -IDC_lib -IDC_lib/Platform/include -IDC_lib/Platform -IDC_lib/Platform/jsonline
  -idirafter /usr/include/opencv4 -idirafter /usr/include -idirafter /usr/include/x86_64-linux-gnu
)
mapfile -t sources < <(find DC_lib -name '*.cpp' | sort)
# One compiler per core: each source is checked on its own, so the order does not matter.
export cxx
check_one() {
  "$cxx" "${@:2}" "$1" || { echo "check-aarch64: $1 does not compile for aarch64" >&2; return 1; }
}
export -f check_one
if printf '%s\0' "${sources[@]}" | xargs -0 -P "$(nproc)" -I{} bash -c 'check_one "$@"' _ {} "${flags[@]}"; then
  echo "check-aarch64: ${#sources[@]} library sources compile for aarch64"
else
  exit 1
fi
