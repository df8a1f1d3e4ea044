# Runs in the rig's initramfs (busybox sh). Builds the guest's root: this machine's root
# read-only over 9p with the kernel's module tree laid over it (a read-only overlay), tmpfs on
# /tmp and /run, the current folder read-write at its own path, then switches to it and starts
# guest-run.sh as the guest's init.

rig_fail() {
  printf 'rig %s\n' "$*" >/ctl/status.tmp && mv /ctl/status.tmp /ctl/status
  echo "vexrig: $*"
  echo b >/proc/sysrq-trigger
  sleep 60
}

p9="trans=virtio,version=9p2000.L,msize=512000"
mkdir -p /host /layer /newroot /hold
mount -t 9p -o "$p9,ro,cache=loose" hostroot /host || rig_fail "cannot mount the host's root"
mount -t 9p -o "$p9,ro,cache=loose" riglayer /layer || rig_fail "cannot mount the module layer"
mount -t overlay -o ro,lowerdir=/layer:/host vexrig /newroot || rig_fail "cannot mount the root overlay"

# Folders under /tmp and /run that must stay visible over the guest's own tmpfs there.
n=0
while read -r keep; do
  [ -n "$keep" ] || continue
  n=$((n + 1))
  mkdir -p "/hold/$n" && mount --bind "/host$keep" "/hold/$n" || rig_fail "cannot keep $keep"
done </ctl/keep

mount -t proc proc /newroot/proc || rig_fail "cannot mount /proc"
mount -t sysfs sysfs /newroot/sys || rig_fail "cannot mount /sys"
mount --move /dev /newroot/dev || rig_fail "cannot move /dev"
mkdir -p /newroot/dev/pts /newroot/dev/shm
mount -t devpts -o gid=5,mode=620,ptmxmode=666 devpts /newroot/dev/pts
mount -t tmpfs -o mode=1777 tmpfs /newroot/dev/shm
mount -t tmpfs -o mode=1777 tmpfs /newroot/tmp || rig_fail "cannot mount /tmp"
mount -t tmpfs -o mode=755 tmpfs /newroot/run || rig_fail "cannot mount /run"

n=0
while read -r keep; do
  [ -n "$keep" ] || continue
  n=$((n + 1))
  mkdir -p "/newroot$keep" && mount --move "/hold/$n" "/newroot$keep" || rig_fail "cannot keep $keep"
done </ctl/keep

cwd=$(cat /ctl/cwd)
[ -d "/newroot$cwd" ] || mkdir -p "/newroot$cwd"
mount -t 9p -o "$p9,cache=loose" work "/newroot$cwd" || rig_fail "cannot mount the current folder $cwd"

mkdir -p /newroot/run/vexrig
mount --move /ctl /newroot/run/vexrig || rig_fail "cannot move the control share"
exec switch_root /newroot /bin/bash /run/vexrig/guest-run.sh
