#!/usr/bin/env bash
# Installs every Debian 12 package the build, the tests and the demonstration need.
# Idempotent: asks apt only for what is missing and refreshes the package lists once.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev qt6-base-dev-tools qt6-websockets-dev qt6-qpa-plugins libqt6svg6
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libswresample-dev libavdevice-dev
  libopencv-core-dev libopencv-imgproc-dev libopencv-dnn-dev
  libdlib-dev libdlib-data libudev-dev libasound2-dev
  nlohmann-json3-dev     # JSON of the simulator's line protocol
  libgtest-dev libgmock-dev libbenchmark-dev
  g++-aarch64-linux-gnu  # CI's syntax check of the library for ARM machines
  ffmpeg                 # the media benchmark's reference for the time to a first frame
  xvfb xauth trayer x11-utils
  dbus-bin at-spi2-core python3 python3-pyatspi  # the end-to-end tests find widgets by name
  imagemagick                                    # ... and compare screenshots
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
