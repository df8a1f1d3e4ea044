#!/usr/bin/env bash
# Runs a command inside a small QEMU virtual machine booted from Debian 12's own kernel, on the
# real drivers: emulated USB buses (dummy_hcd), raw_gadget, uvcvideo and udev, with the
# simulator's cameras plugged in as USB devices through /dev/raw-gadget.
#
#   scripts/kernel-rig.sh [--scenario FILE] [--user NAME] [--] COMMAND [ARGS...]
#   scripts/kernel-rig.sh --prepare        # fill the cache only (download, module build)
#
# The guest sees this machine's file system read-only (so the build's programs and libraries
# run unchanged), the current folder read-write, tmpfs on /tmp and /run. COMMAND runs in the
# current folder with the caller's environment, VEXSDK_SIM unset.
#
# Exit status: COMMAND's; 77 when QEMU cannot run here (or, outside CI, the kernel could not
# be fetched or built: the rig cases are then skipped); 125 when the rig itself failed. One
# line on stderr says why. The guest's kernel log is printed when COMMAND fails.
#
# Environment: VEXRIG_CAMERAS=0 (start no emulated camera), VEXRIG_VEXSIM (the simulator),
# VEXRIG_QEMU (the QEMU program), VEXRIG_ACCEL (auto, tcg or kvm), VEXRIG_TIMEOUT (seconds the
# guest may run, 300), VEXRIG_MEMORY (MiB, 2048), VEXRIG_CPUS (1), VEXRIG_MODULES (more modules
# to load), VEXRIG_LOCK_WAIT (seconds to wait for another virtual machine to end, 1200),
# VEXRIG_VERBOSE=1 (the guest's phases), VEXRIG_KEEP=1 (keep the guest's control folder: its
# logs), VEXRIG_APPEND (more kernel parameters), XDG_CACHE_HOME (the cache:
# ${XDG_CACHE_HOME:-~/.cache}/vexsdk-rig).
set -uo pipefail

# The kernel: Debian's packages of one version. Bump both together when Debian drops it (the
# ABI name is part of the package names); a bump makes a new cache entry.
KERNEL_ABI=6.1.0-57
KERNEL_DEBIAN_VERSION=6.1.192-3
# Bumped when the way the cache is built changes.
RIG_RECIPE=1

KERNEL_RELEASE="$KERNEL_ABI-amd64"
SCRIPT_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd -P)
REPO_DIR=$(dirname "$SCRIPT_DIR")
CACHE_ROOT="${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/vexsdk-rig"
CACHE_DIR="$CACHE_ROOT/linux-$KERNEL_RELEASE-$KERNEL_DEBIAN_VERSION-r$RIG_RECIPE"
QEMU=${VEXRIG_QEMU:-qemu-system-x86_64}
VM_LOCK=/tmp/vexsdk-rig-vm.lock

say() { printf 'kernel-rig: %s\n' "$*" >&2; }
skip() {
  say "skipped: $*"
  exit 77
}
fail() {
  say "failed: $*"
  exit 125
}
# A missing download or a failed build skips the rig cases on a developer's machine (offline,
# say), but fails a CI run: CI must never report the rig as skipped for that.
prepare_failed() {
  if [ "${CI:-}" = true ]; then fail "$*"; fi
  skip "$*"
}

usage() {
  sed -n '2,/^set -uo/p' "${BASH_SOURCE[0]}" | sed '$d' | sed 's/^# \{0,1\}//'
}

# ---------------------------------------------------------------------------------------------
# The cache: the kernel, its modules with raw_gadget.ko, the initramfs.

cache_ready() { [ -f "$CACHE_DIR/complete" ]; }

# Writes the newest version of PACKAGE that apt knows and that is at least MIN, or nothing.
newest_at_least() {
  local package=$1 min=$2 v best=
  while read -r v; do
    dpkg --compare-versions "$v" ge "$min" || continue
    if [ -z "$best" ] || dpkg --compare-versions "$v" gt "$best"; then best=$v; fi
  done < <(apt-cache madison "$package" 2>/dev/null | awk -F'|' '{gsub(/ /, "", $2); print $2}')
  printf '%s' "$best"
}

build_cache() {
  local tmp=$1 log=$1/prepare.log
  local rel=$KERNEL_RELEASE ver=$KERNEL_DEBIAN_VERSION
  mkdir -p "$tmp/debs" "$tmp/root" "$tmp/src" "$tmp/module" "$tmp/initramfs/mods" || return 1

  # linux-kbuild-6.1 is not rebuilt with every upload, so it may exist only in a later version:
  # the headers accept any version from theirs on.
  local kbuild
  kbuild=$(newest_at_least linux-kbuild-6.1 "$ver")
  [ -n "$kbuild" ] || {
    echo "no linux-kbuild-6.1 of version $ver or later is known to apt (apt-get update?)"
    return 1
  }
  local pkgs=("linux-image-$rel=$ver" "linux-headers-$rel=$ver" "linux-headers-$KERNEL_ABI-common=$ver"
    "linux-kbuild-6.1=$kbuild" "linux-source-6.1=$ver")
  if ! (cd "$tmp/debs" && apt-get download -q "${pkgs[@]}") >>"$log" 2>&1; then
    echo "apt-get download ${pkgs[*]} failed (apt-get update? is $ver still in the archive? bump the pin in scripts/kernel-rig.sh)"
    return 1
  fi
  printf 'kernel %s %s, kbuild %s\n' "$rel" "$ver" "$kbuild" >"$tmp/versions"

  # The source tarball is large and compressed as one stream: take the two files needed while
  # the binary packages unpack.
  (dpkg-deb --fsys-tarfile "$tmp"/debs/linux-source-6.1_*.deb | tar -xO ./usr/src/linux-source-6.1.tar.xz |
    tar -xJ -C "$tmp/src" --strip-components=1 linux-source-6.1/drivers/usb/gadget/legacy/raw_gadget.c \
      linux-source-6.1/scripts/extract-vmlinux) >>"$log" 2>&1 &
  local src_pid=$! deb
  for deb in "$tmp"/debs/linux-image-*.deb "$tmp"/debs/linux-headers-*.deb "$tmp"/debs/linux-kbuild-*.deb; do
    dpkg -x "$deb" "$tmp/root" >>"$log" 2>&1 || {
      echo "dpkg -x $(basename "$deb") failed"
      wait "$src_pid"
      return 1
    }
  done
  wait "$src_pid" || {
    echo "could not take raw_gadget.c and extract-vmlinux from linux-source-6.1"
    return 1
  }
  rm -rf "$tmp/debs"

  # The headers' Makefile includes the common part by its installed path; point it at ours.
  local hdr="$tmp/root/usr/src/linux-headers-$rel"
  printf 'include %s\n' "$tmp/root/usr/src/linux-headers-$KERNEL_ABI-common/Makefile" >"$hdr/Makefile"
  cp "$tmp/src/drivers/usb/gadget/legacy/raw_gadget.c" "$tmp/module/" &&
    echo 'obj-m := raw_gadget.o' >"$tmp/module/Kbuild" || return 1
  if ! make -C "$hdr" M="$tmp/module" modules >>"$log" 2>&1; then
    echo "building raw_gadget.ko against linux-headers-$rel failed"
    return 1
  fi

  local mods="$tmp/root/lib/modules/$rel"
  mkdir -p "$mods/extra" && strip --strip-debug -o "$mods/extra/raw_gadget.ko" "$tmp/module/raw_gadget.ko" || {
    echo "strip raw_gadget.ko failed"
    return 1
  }
  if ! depmod -b "$tmp/root" "$rel" >>"$log" 2>&1; then
    echo "depmod failed"
    return 1
  fi
  # QEMU boots the uncompressed kernel through its PVH entry: no decompression under emulation.
  if ! sh "$tmp/src/scripts/extract-vmlinux" "$tmp/root/boot/vmlinuz-$rel" >"$tmp/vmlinux" 2>>"$log"; then
    echo "extract-vmlinux failed"
    return 1
  fi

  # The guest sees the module tree at /lib/modules through an overlay layer over the host's
  # root: on a merged /usr that is usr/lib/modules.
  local layer_base="$tmp/layer"
  [ -L /lib ] && layer_base="$tmp/layer/usr"
  mkdir -p "$layer_base/lib/modules" && mv "$mods" "$layer_base/lib/modules/" || return 1
  cp "$tmp/root/boot/config-$rel" "$tmp/config" || return 1

  # The initramfs: busybox and the modules for the 9p and overlay mounts of the root.
  local m path
  for m in virtio_pci 9pnet_virtio 9p overlay; do
    modprobe -d "$layer_base" -S "$rel" --show-depends "$m" 2>>"$log" || {
      echo "modprobe --show-depends $m failed"
      return 1
    }
  done | awk '$1 == "insmod" && !seen[$2]++ { print $2 }' >"$tmp/initramfs.list"
  [ -s "$tmp/initramfs.list" ] || {
    echo "no modules found for the initramfs"
    return 1
  }
  while read -r path; do
    cp "$path" "$tmp/initramfs/mods/" && basename "$path" >>"$tmp/initramfs/mods/order" || return 1
  done <"$tmp/initramfs.list"
  mkdir -p "$tmp/initramfs/bin" "$tmp/initramfs/dev" "$tmp/initramfs/proc" "$tmp/initramfs/sys" &&
    cp /bin/busybox "$tmp/initramfs/bin/busybox" &&
    cp "$SCRIPT_DIR/kernel-rig/initramfs-init" "$tmp/initramfs/init" &&
    chmod 755 "$tmp/initramfs/init" || {
    echo "could not assemble the initramfs (busybox-static installed?)"
    return 1
  }
  if ! (cd "$tmp/initramfs" && find . | LC_ALL=C sort | cpio -o -H newc --quiet >"$tmp/initramfs.cpio") 2>>"$log"; then
    echo "cpio failed"
    return 1
  fi
  rm -rf "$tmp/root" "$tmp/src" "$tmp/module" "$tmp/initramfs" "$tmp/initramfs.list"
  date -u +%FT%TZ >"$tmp/complete"
}

prepare_cache() {
  cache_ready && return 0
  local tool
  for tool in apt-get apt-cache dpkg-deb make gcc strip depmod modprobe cpio xz readelf /bin/busybox; do
    command -v "$tool" >/dev/null 2>&1 ||
      prepare_failed "$tool is missing: run scripts/install-deps.sh"
  done
  mkdir -p "$CACHE_ROOT" || prepare_failed "cannot create the cache $CACHE_ROOT"
  # One builder at a time; whoever waited finds the finished entry.
  exec 8>>"$CACHE_ROOT/lock" || prepare_failed "cannot open $CACHE_ROOT/lock"
  flock -w 900 8 || prepare_failed "another run held the cache lock for 15 minutes"
  if cache_ready; then
    exec 8>&-
    return 0
  fi
  rm -rf "$CACHE_DIR.tmp."* # left by a run that was killed; we hold the lock
  local tmp="$CACHE_DIR.tmp.$$" reason start=$SECONDS
  mkdir -p "$tmp" || prepare_failed "cannot create $tmp"
  say "preparing the kernel $KERNEL_RELEASE ($KERNEL_DEBIAN_VERSION) in $CACHE_DIR"
  if ! reason=$(build_cache "$tmp"); then
    cp "$tmp/prepare.log" "$CACHE_ROOT/prepare-failed.log" 2>/dev/null
    rm -rf "$tmp"
    exec 8>&-
    prepare_failed "${reason:-preparing the cache failed} (log: $CACHE_ROOT/prepare-failed.log)"
  fi
  rm -rf "$CACHE_DIR" && mv "$tmp" "$CACHE_DIR" || prepare_failed "cannot move $tmp into place"
  rm -f "$CACHE_ROOT/prepare-failed.log"
  say "cache ready in $((SECONDS - start)) s"
  exec 8>&-
}

# ---------------------------------------------------------------------------------------------
# QEMU

layer_dir() { printf '%s/layer' "$CACHE_DIR"; }

# Common QEMU arguments: a small PC with no default devices, the kernel on the serial port,
# this machine's root read-only over 9p (multidevs=remap: it spans several file systems).
qemu_base_args() {
  local accel=$1 append=$2
  QEMU_ARGS=(-M "pc,accel=$accel" -cpu max -m "${VEXRIG_MEMORY:-2048}" -smp "${VEXRIG_CPUS:-1}"
    -nodefaults -no-user-config -display none -no-reboot
    -kernel "$CACHE_DIR/vmlinux" -initrd "$CACHE_DIR/initramfs.cpio"
    -append "console=ttyS2 quiet acpi=off panic=-1 reboot=t mitigations=off cryptomgr.notests tsc=reliable no_timer_check 8250.nr_uarts=3 $append"
    -fsdev "local,id=hostroot,path=/,security_model=none,readonly=on,multidevs=remap"
    -device virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot)
}

# KVM only where it runs an ordinary guest: some machines offer /dev/kvm from a nested
# hypervisor that hangs or fails on one. The probe boots the rig's kernel to its initramfs
# once per machine and QEMU version; its answer is kept in the cache.
choose_accel() {
  case "${VEXRIG_ACCEL:-auto}" in
  tcg | kvm)
    ACCEL=$VEXRIG_ACCEL
    return
    ;;
  auto) ;;
  *) fail "VEXRIG_ACCEL must be auto, tcg or kvm, not '$VEXRIG_ACCEL'" ;;
  esac
  ACCEL=tcg
  [ -r /dev/kvm ] && [ -w /dev/kvm ] || return 0
  local key probe
  key=$(printf '%s %s' "$(uname -r)" "$("$QEMU" -version | head -n1)" | cksum | cut -d' ' -f1)
  probe="$CACHE_DIR/kvm-probe.$key"
  if [ ! -f "$probe" ]; then
    qemu_base_args kvm "vexrig.probe=1"
    local out
    out=$(timeout -k 2 10 "$QEMU" "${QEMU_ARGS[@]}" -serial null -serial null -serial stdio </dev/null 2>/dev/null)
    if printf '%s' "$out" | grep -q vexrig-probe-ok; then
      echo kvm >"$probe.$$"
    else
      echo tcg >"$probe.$$"
      say "KVM cannot run a guest here; using software emulation (kept in $probe)"
    fi
    mv "$probe.$$" "$probe"
  fi
  ACCEL=$(cat "$probe")
}

# ---------------------------------------------------------------------------------------------

scenario=
run_user=
prepare_only=0
while [ $# -gt 0 ]; do
  case "$1" in
  --scenario)
    [ $# -ge 2 ] || {
      say "--scenario needs a file"
      exit 2
    }
    scenario=$2
    shift 2
    ;;
  --user)
    [ $# -ge 2 ] || {
      say "--user needs a name"
      exit 2
    }
    run_user=$2
    shift 2
    ;;
  --prepare)
    prepare_only=1
    shift
    ;;
  -h | --help)
    usage
    exit 0
    ;;
  --)
    shift
    break
    ;;
  -*)
    say "unknown option $1 (see --help)"
    exit 2
    ;;
  *) break ;;
  esac
done
if [ "$prepare_only" = 0 ] && [ $# -eq 0 ]; then
  say "no COMMAND given (see --help)"
  exit 2
fi
if [ -n "$run_user" ] && ! [[ "$run_user" =~ ^[a-z_][a-z0-9_-]{0,30}$ ]] || [ "$run_user" = root ]; then
  say "--user needs an unprivileged user name (lower case letters, digits, - and _), not '$run_user'"
  exit 2
fi

command -v "$QEMU" >/dev/null 2>&1 || skip "QEMU ($QEMU) is not installed (scripts/install-deps.sh installs qemu-system-x86)"
if ! qemu_version=$("$QEMU" -version 2>&1); then
  skip "QEMU ($QEMU) does not start: $(printf '%s' "$qemu_version" | grep -m1 . || echo "no output")"
fi

if [ "$prepare_only" = 1 ]; then
  prepare_cache
  exit 0
fi

cwd=$(pwd -P)
[ "$cwd" != / ] || fail "refusing to share / read-write: run from a project folder"

cameras=1
[ "${VEXRIG_CAMERAS:-1}" = 0 ] && cameras=0
vexsim=
if [ "$cameras" = 1 ]; then
  vexsim=${VEXRIG_VEXSIM:-$REPO_DIR/build/tools/vexsim/vexsim}
  scenario=${scenario:-$REPO_DIR/tools/vexsim/scenarios/rig.json}
  [ -x "$vexsim" ] || fail "the simulator $vexsim is not built (cmake --build build --target vexsim)"
  [ -f "$scenario" ] || fail "the scenario $scenario does not exist"
  vexsim=$(cd "$(dirname "$vexsim")" && pwd -P)/$(basename "$vexsim")
  scenario=$(cd "$(dirname "$scenario")" && pwd -P)/$(basename "$scenario")
elif [ -n "$scenario" ]; then
  say "note: VEXRIG_CAMERAS=0, so $scenario is not plugged"
fi

prepare_cache

ctl=$(mktemp -d "${TMPDIR:-/tmp}/vexsdk-rig.XXXXXXXX") || fail "cannot create a temporary folder"
qemu_pid=
relay_pid=
cleanup() {
  # qemu_pid is timeout(1), which passes a TERM on to QEMU; KILL the pair if that is not enough.
  if [ -n "$qemu_pid" ] && kill -TERM "$qemu_pid" 2>/dev/null; then
    local i
    for i in $(seq 50); do
      kill -0 "$qemu_pid" 2>/dev/null || break
      sleep 0.1
    done
    pkill -KILL -P "$qemu_pid" 2>/dev/null
    kill -KILL "$qemu_pid" 2>/dev/null
  fi
  [ -n "$relay_pid" ] && kill "$relay_pid" 2>/dev/null
  if [ "${VEXRIG_KEEP:-0}" = 1 ]; then
    say "the guest's control folder is kept in $ctl"
  else
    rm -rf "$ctl"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# What the guest needs to know, in files of the shared control folder.
printf '%s\0' "$@" >"$ctl/argv"
env -0 >"$ctl/env"
printf '%s' "$cwd" >"$ctl/cwd"
printf '%s' "$run_user" >"$ctl/user"
printf '%s' "$cameras" >"$ctl/cameras"
printf '%s' "$vexsim" >"$ctl/vexsim"
printf '%s' "$scenario" >"$ctl/scenario"
printf '%s' "${VEXRIG_MODULES:-}" >"$ctl/modules"
# Folders the guest must still see under its own /tmp and /run (the current folder has a share
# of its own): the repository's scripts, the simulator and the scenario.
for p in "$REPO_DIR" "${vexsim:+$(dirname "$vexsim")}" "${scenario:+$(dirname "$scenario")}"; do
  case "$p" in /tmp/* | /run/*) printf '%s\n' "$p" ;; esac
done | sort -u >"$ctl/keep"
cp "$SCRIPT_DIR/kernel-rig/guest-mount.sh" "$SCRIPT_DIR/kernel-rig/guest-run.sh" "$ctl/" ||
  fail "cannot copy the guest scripts"

# One virtual machine at a time on this machine: under software emulation each takes a core.
# The lock file is open to every user, so that every user's runs take turns.
{ exec 9>>"$VM_LOCK"; } 2>/dev/null || exec 9>>"/tmp/vexsdk-rig-vm-$(id -u).lock"
chmod 666 "$VM_LOCK" 2>/dev/null
flock -w "${VEXRIG_LOCK_WAIT:-1200}" 9 || fail "another virtual machine ran for ${VEXRIG_LOCK_WAIT:-1200} s ($VM_LOCK)"

choose_accel
qemu_base_args "$ACCEL" "${VEXRIG_APPEND:-}"
# COMMAND's standard output on the first serial port, its standard error on the second, the
# kernel's console on the third (a file: what a guest that hangs or panics said last).
# The script holds the FIFO open for writing (fd 6) while QEMU runs, so that the relay never
# blocks on its open and ends, after the last byte, once QEMU and the script both closed it.
mkfifo "$ctl/stderr.fifo" && exec 6<>"$ctl/stderr.fifo" || fail "cannot make the FIFO for COMMAND's standard error"
cat "$ctl/stderr.fifo" >&2 6>&- &
relay_pid=$!
QEMU_ARGS+=(-chardev stdio,id=out,signal=off -serial chardev:out
  -chardev "file,id=err,path=$ctl/stderr.fifo" -serial chardev:err
  -chardev "file,id=con,path=$ctl/console.log" -serial chardev:con
  -fsdev "local,id=layer,path=$(layer_dir),security_model=none,readonly=on"
  -device virtio-9p-pci,fsdev=layer,mount_tag=riglayer
  -fsdev "local,id=work,path=$cwd,security_model=none,multidevs=remap"
  -device virtio-9p-pci,fsdev=work,mount_tag=work
  -fsdev "local,id=ctl,path=$ctl,security_model=none"
  -device virtio-9p-pci,fsdev=ctl,mount_tag=ctl)

limit=${VEXRIG_TIMEOUT:-300}
timeout -k 5 "$limit" "$QEMU" "${QEMU_ARGS[@]}" </dev/null 2>"$ctl/qemu.err" 6>&- 9>&- &
qemu_pid=$!
wait "$qemu_pid"
qemu_status=$?
qemu_pid=
exec 6>&-
wait "$relay_pid" 2>/dev/null
relay_pid=

print_guest_logs() {
  if [ ! -s "$ctl/kernel.log" ] && [ -s "$ctl/console.log" ]; then
    say "the guest's console:"
    cat "$ctl/console.log" >&2
  fi
  if [ -s "$ctl/vexsim.log" ]; then
    say "vexsim's output:"
    cat "$ctl/vexsim.log" >&2
  fi
  if [ -s "$ctl/kernel.log" ]; then
    say "the guest's kernel log:"
    cat "$ctl/kernel.log" >&2
  fi
}

if [ "${VEXRIG_VERBOSE:-0}" = 1 ] && [ -f "$ctl/phases" ]; then
  say "guest phases (uptime in s): $(tr '\n' ';' <"$ctl/phases")"
fi
if [ "$qemu_status" = 124 ] || [ "$qemu_status" = 137 ]; then
  print_guest_logs
  fail "the guest did not finish within $limit s (VEXRIG_TIMEOUT); it was killed"
fi
if [ ! -f "$ctl/booted" ]; then
  [ "$qemu_status" != 0 ] && skip "QEMU cannot run here: $(grep -m1 . "$ctl/qemu.err" || echo "exit status $qemu_status")"
  print_guest_logs
  fail "the guest did not reach its initramfs (QEMU: $(grep -m1 . "$ctl/qemu.err" || echo "exit status $qemu_status"))"
fi
if [ ! -f "$ctl/status" ]; then
  print_guest_logs
  fail "the guest stopped before COMMAND finished (QEMU exit status $qemu_status)"
fi
read -r kind value <"$ctl/status"
case "$kind" in
cmd)
  if [ "$value" != 0 ]; then
    say "COMMAND exited with status $value"
    print_guest_logs
  fi
  exit "$value"
  ;;
rig)
  print_guest_logs
  fail "$value"
  ;;
*) fail "the guest left an unreadable status: $kind $value" ;;
esac
