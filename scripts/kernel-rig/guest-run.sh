# The rig guest's init (this machine's bash, process 1 of the guest). Loads the modules,
# starts udev and the emulated cameras, runs COMMAND, leaves its status in the control share
# and turns the guest off. Every wait is bounded: the host kills a guest that overruns.
ctl=/run/vexrig
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin

set_status() {
  printf '%s\n' "$*" >"$ctl/status.tmp" && mv "$ctl/status.tmp" "$ctl/status"
}
power_off() {
  [ -n "${kmsg_pid:-}" ] && kill "$kmsg_pid" 2>/dev/null
  sync
  echo b >/proc/sysrq-trigger
  sleep 60
}
rig_fail() {
  sleep 0.2 # let the kernel log follower write the last lines
  set_status "rig $*"
  power_off
}
# Waits up to $1 seconds for the command $2... to succeed.
wait_for() {
  local limit=$1 start=$SECONDS
  shift
  until "$@"; do
    [ $((SECONDS - start)) -lt "$limit" ] || return 1
    sleep 0.05
  done
}

# Phases with the guest's uptime, for VEXRIG_VERBOSE=1.
phase() { printf '%s %s\n' "$(cut -d' ' -f1 /proc/uptime)" "$*" >>"$ctl/phases"; }
phase init
dmesg --follow >"$ctl/kernel.log" 2>&1 &
kmsg_pid=$!

echo vexrig >/proc/sys/kernel/hostname
ip link set lo up 2>/dev/null || rig_fail "cannot bring up the loopback interface (iproute2 installed?)"
[ -w /dev/null ] || rig_fail "/dev/null is not writable"

# The emulated buses: cameras go to dummy_udc.K, bus K+1 (the guest has no other host
# controller).
phase modules
modprobe dummy_hcd num=11 || rig_fail "modprobe dummy_hcd num=11 failed"
for m in raw_gadget uvcvideo $(cat "$ctl/modules"); do
  modprobe "$m" || rig_fail "modprobe $m failed"
done

# udev sees every device that comes from here on (the cameras). Of the devices that came
# before it, only the USB tree is replayed, so that the buses and hubs have their udev
# properties as on a real machine; replaying the whole virtual PC would load drivers for it,
# seconds under emulation.
phase udev
/lib/systemd/systemd-udevd --daemon --resolve-names=late >>"$ctl/udevd.log" 2>&1 ||
  rig_fail "systemd-udevd does not start (udev installed?)"
phase udev-trigger
udevadm trigger --action=add --subsystem-match=usb --subsystem-match=udc ||
  rig_fail "udevadm trigger failed"
udevadm settle --timeout=30 || rig_fail "udev did not settle within 30 s"
phase udev-settled
# --user: an unprivileged user of the guest only (passwd and group copied to /run and bound
# over the read-only originals), in no group but its own.
user=$(cat "$ctl/user")
run_uid=0
run_gid=0
if [ -n "$user" ]; then
  getent passwd "$user" >/dev/null && rig_fail "the user $user exists on this machine; choose another name"
  run_uid=2000
  while getent passwd "$run_uid" >/dev/null || getent group "$run_uid" >/dev/null; do
    run_uid=$((run_uid + 1))
  done
  run_gid=$run_uid
  mkdir -p /run/vexrig-etc /tmp/home
  cp /etc/passwd /etc/group /run/vexrig-etc/ || rig_fail "cannot copy /etc/passwd"
  echo "$user:x:$run_uid:$run_gid:rig user:/tmp/home/$user:/bin/sh" >>/run/vexrig-etc/passwd
  echo "$user:x:$run_gid:" >>/run/vexrig-etc/group
  mount --bind /run/vexrig-etc/passwd /etc/passwd && mount --bind /run/vexrig-etc/group /etc/group ||
    rig_fail "cannot bind the guest's passwd and group"
fi
home_name=${user:-root}
mkdir -p "/tmp/home/$home_name" "/run/user/$run_uid" &&
  chown "$run_uid:$run_gid" "/tmp/home/$home_name" "/run/user/$run_uid" &&
  chmod 700 "/run/user/$run_uid" || rig_fail "cannot make the home folder"

# The emulated cameras: vexsim writes its ready file once the host configured every camera
# the scenario plugs at start; then their capture nodes must appear (nodes are told by the
# USB device above them, never by number).
sim_pid=
# kill -0 also answers for a child that ended and was not reaped yet.
alive() {
  local state
  state=$(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null) && [ -n "$state" ] && [ "$state" != Z ]
}
count_capture_nodes() {
  local n=0 node dev
  for node in /sys/class/video4linux/video*; do
    [ -e "$node" ] || continue
    [ "$(cat "$node/index" 2>/dev/null)" = 0 ] || continue
    dev=$(readlink -f "$node/device")
    while [ -n "$dev" ] && [ "$dev" != / ] && [ ! -f "$dev/idVendor" ]; do dev=${dev%/*}; done
    # Every emulated camera, of any vendor: the guest has no USB device of its own.
    [ -f "$dev/idVendor" ] && [ -e "/dev/${node##*/}" ] && n=$((n + 1))
  done
  echo "$n"
}
sim_ready() {
  [ -s /run/vexsim.ready ] && return 0
  alive "$sim_pid" || {
    wait "$sim_pid"
    rig_fail "vexsim exited with status $? before its cameras were ready"
  }
  return 1
}
nodes_present() { [ "$(count_capture_nodes)" -ge "$expected" ]; }
if [ "$(cat "$ctl/cameras")" = 1 ]; then
  phase cameras
  vexsim=$(cat "$ctl/vexsim")
  "$vexsim" --usb --socket /run/vexsim.sock --scenario "$(cat "$ctl/scenario")" \
    --ready-file /run/vexsim.ready </dev/null >"$ctl/vexsim.log" 2>&1 &
  sim_pid=$!
  wait_for 30 sim_ready || rig_fail "vexsim was not ready within 30 s"
  read -r expected </run/vexsim.ready
  [[ "$expected" =~ ^[0-9]+$ ]] || rig_fail "vexsim's ready file says '$expected', not a number of cameras"
  wait_for 30 nodes_present ||
    rig_fail "$(count_capture_nodes) of $expected emulated cameras have a capture node after 30 s"
  udevadm settle --timeout=30 || rig_fail "udev did not settle within 30 s after the cameras came"
  # A test of --user may also drive the simulator's control operations.
  chmod 666 /run/vexsim.sock 2>/dev/null
fi

# COMMAND: the caller's environment, VEXSDK_SIM unset, in the current folder.
mapfile -d '' -t argv <"$ctl/argv"
mapfile -d '' -t caller_env <"$ctl/env"
run_env=()
for kv in "${caller_env[@]}"; do
  case "$kv" in
  VEXSDK_SIM=* | VEXRIG_SIM_SOCKET=* | HOME=* | XDG_RUNTIME_DIR=* | USER=* | LOGNAME=*) ;;
  *) run_env+=("$kv") ;;
  esac
done
run_env+=("HOME=/tmp/home/$home_name" "XDG_RUNTIME_DIR=/run/user/$run_uid" "USER=$home_name"
  "LOGNAME=$home_name" VEXRIG_GUEST=1)
[ -n "$sim_pid" ] && run_env+=(VEXRIG_SIM_SOCKET=/run/vexsim.sock)

phase command
# The serial ports carry bytes as they are (no newline translation).
stty -F /dev/ttyS0 raw -echo 2>/dev/null
stty -F /dev/ttyS1 raw -echo 2>/dev/null
cd "$(cat "$ctl/cwd")" || rig_fail "cannot enter the current folder"
if [ -n "$user" ]; then
  setpriv --reuid="$run_uid" --regid="$run_gid" --init-groups -- env -i "${run_env[@]}" "${argv[@]}" \
    </dev/null >/dev/ttyS0 2>/dev/ttyS1
else
  env -i "${run_env[@]}" "${argv[@]}" </dev/null >/dev/ttyS0 2>/dev/ttyS1
fi
status=$?
phase command-done
cd /

if [ -n "$sim_pid" ]; then
  kill -TERM "$sim_pid" 2>/dev/null
  wait_for 5 eval '! alive "$sim_pid"' || kill -KILL "$sim_pid" 2>/dev/null
fi
sleep 0.2 # the kernel log follower
set_status "cmd $status"
power_off
