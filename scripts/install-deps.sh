#!/usr/bin/env bash
# Installs every Debian 12 package the build, the tests and the demonstration need.
# Idempotent: asks apt only for what is missing and refreshes the package lists once.
# Each package is listed for a file the build, the tests, the benchmarks or `make run` use
# (a program, a header, a link name, a pkg-config or CMake file), never relied on because
# another package happens to pull it in: `make fresh-check` tries this list on a minimal
# Debian system, and CI's first stage configures the build there.
set -euo pipefail

packages=(
  gcc g++ libc6-dev make binutils dpkg-dev  # the compilers, readelf, dpkg-buildflags
  cmake ninja-build pkgconf git
  qt6-base-dev qt6-base-dev-tools qt6-websockets-dev qt6-qpa-plugins libqt6svg6
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libswresample-dev libavdevice-dev
  libopencv-core-dev libopencv-imgproc-dev libopencv-dnn-dev
  libdlib-dev libdlib-data libudev-dev libasound2-dev
  liblapack-dev libblas-dev  # liblapack.so and libblas.so, which dlib's face landmarks link
  nlohmann-json3-dev     # JSON of the simulator's line protocol
  libgtest-dev libgmock-dev libbenchmark-dev
  g++-aarch64-linux-gnu  # CI's syntax check of the library for ARM machines
  ffmpeg                 # ffmpeg and ffprobe: the media benchmark's reference, the vexctl tests' checks
  xvfb xauth trayer x11-utils
  dbus-daemon at-spi2-core python3 python3-pyatspi  # the end-to-end tests find widgets by name
  imagemagick                                    # ... and compare screenshots
  xdotool                                        # ... and press keys in the rig's application cases
  nodejs                                         # the room page's script on a stand-in page
  fonts-liberation2  # metric-compatible stand-in for the interface font, Arial
  file lintian       # make package (CPack's dependency scan) and make lintian
  # The kernel rig (scripts/kernel-rig.sh): QEMU; udev, kmod and iproute2 run inside the guest
  # from this machine's root; busybox and cpio make its initramfs; xz-utils for extract-vmlinux
  qemu-system-x86 udev kmod iproute2 busybox-static cpio xz-utils
)
if [ "${VEX_WITH_FUZZ:-}" = 1 ]; then
  packages+=(clang libclang-rt-14-dev)
fi

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#packages[@]} packages present"
  exit 0
fi

SUDO=
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
