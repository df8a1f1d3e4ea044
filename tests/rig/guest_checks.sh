#!/usr/bin/env bash
# Runs inside the kernel rig's guest (tests/rig/rig_selftest.sh starts it) and checks what the
# rig promises a command: the kernel, the modules, udev, the file systems and the environment.
#   guest_checks.sh root ARG1 ARG2   (exits 42 when every check holds, 1 otherwise)
#   guest_checks.sh user             (exits 0 when every check holds)
set -u
failures=0
check() {
  local what=$1
  shift
  if "$@"; then
    echo "guest-checks: ok: $what"
  else
    echo "guest-checks: FAILED: $what" >&2
    failures=$((failures + 1))
  fi
}
fails_read_only() { ! touch "$1" 2>/dev/null && ! [ -e "$1" ]; }
fs_type_is() { [ "$(stat -f -c %T "$1")" = "$2" ]; }

# The capture node of the emulated camera, found through sysfs (node numbers interleave).
camera_node() {
  local node dev
  for node in /sys/class/video4linux/video*; do
    [ "$(cat "$node/index" 2>/dev/null)" = 0 ] || continue
    dev=$(readlink -f "$node/device")
    while [ "$dev" != / ] && [ ! -f "$dev/idVendor" ]; do dev=${dev%/*}; done
    if [ "$(cat "$dev/idVendor" 2>/dev/null)" = 1d4d ]; then
      echo "/dev/${node##*/}"
      return 0
    fi
  done
  return 1
}
node_belongs_to_video() { [ "$(stat -c %G:%a "$1")" = video:660 ]; }
udev_knows() { udevadm info --query=property --name="$1" | grep -qx 'ID_VENDOR_ID=1d4d'; }

mode=$1
shift
check "runs in the rig guest" [ "${VEXRIG_GUEST:-}" = 1 ]
check "VEXSDK_SIM is unset" [ -z "${VEXSDK_SIM+set}" ]
check "the caller's environment is passed on" [ "${RIG_CALLER_VALUE:-}" = 'a value with  spaces' ]
check "the pinned kernel runs ($(uname -r))" [ "$(uname -r)" = "${RIG_EXPECT_RELEASE:-}" ]
check "the current folder is the caller's" [ "$(pwd -P)" = "${RIG_EXPECT_CWD:-}" ]
check "the host's root is read-only" fails_read_only /usr/vexrig-write-test
check "/etc is read-only" fails_read_only /etc/vexrig-write-test
check "/tmp is the guest's own tmpfs" fs_type_is /tmp tmpfs
check "/run is the guest's own tmpfs" fs_type_is /run tmpfs
check "the host's /tmp is not visible" [ ! -e "${RIG_HOST_MARKER:-/nonexistent}" ]
check "HOME is writable" touch "$HOME/.vexrig-home-test"
check "11 emulated USB device controllers" [ "$(ls /sys/class/udc | grep -c '^dummy_udc\.')" = 11 ]
check "raw_gadget is loaded" test -d /sys/module/raw_gadget -a -c /dev/raw-gadget
check "uvcvideo is loaded" [ -d /sys/module/uvcvideo ]
check "the module tree is at /lib/modules" [ -f "/lib/modules/$(uname -r)/modules.dep" ]
check "udev runs" test -S /run/udev/control
check "the loopback interface is up" sh -c 'ip -o link show lo | grep -q "[<,]UP[,>]"'

node=$(camera_node)
check "the emulated camera has a capture node ($node)" [ -c "$node" ]
check "its simulator's socket is given" [ -S "${VEXRIG_SIM_SOCKET:-/nonexistent}" ]
check "udev made the node with Debian's rules (group video)" node_belongs_to_video "$node"
check "udev knows the camera" udev_knows "$node"

case "$mode" in
root)
  check "runs as root" [ "$(id -u)" = 0 ]
  check "udev answers" udevadm control --ping
  check "arguments arrive as they were given" test $# = 2 -a "${1:-}" = 'an argument with  spaces' -a "${2-x}" = ''

  check "the current folder is readable" [ "$(cat host-file 2>/dev/null)" = 'from the host' ]
  check "the current folder is writable" sh -c 'echo "from the guest" > guest-file'
  echo "guest-checks: a line on standard error" >&2
  [ "$failures" = 0 ] && exit 42
  exit 1
  ;;
user)
  check "runs as the rig's user" [ "$(id -un)" = vexrigtest ]
  check "the user is unprivileged" [ "$(id -u)" != 0 ]
  check "the user is not in the video group" sh -c '! id -Gn | tr " " "\n" | grep -qx video'
  check "the user cannot open /dev/raw-gadget" sh -c '! sh -c "exec 3</dev/raw-gadget" 2>/dev/null'
  check "HOME belongs to the user" [ -O "$HOME" ]
  check "the user cannot open the capture node" sh -c "! sh -c 'exec 3<$node' 2>/dev/null"
  [ "$failures" = 0 ] && exit 0
  exit 1
  ;;
esac
echo "guest-checks: unknown mode $mode" >&2
exit 1
