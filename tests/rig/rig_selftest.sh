#!/usr/bin/env bash
# The kernel rig's own tests, grouped so that they cost few boots.
#   rig_selftest.sh host RIG   no boot: a missing QEMU skips, usage errors, a cache that cannot
#                              be prepared skips outside CI and fails in CI
#   rig_selftest.sh root RIG   one boot as root: status, arguments, environment, streams, the
#                              kernel log on failure, read-only root, read-write folder, modules
#   rig_selftest.sh user RIG   one boot with --user
# The boots plug the default scenario's camera (VEXRIG_VEXSIM names the simulator).
# Exits 77 when the rig cannot run here (the case is skipped), 1 on a failed check.
set -u
mode=$1
rig=$(cd "$(dirname "$2")" && pwd -P)/$(basename "$2")
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd -P)
work=$(mktemp -d "${TMPDIR:-/tmp}/rig-selftest.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
expect() {
  local what=$1
  shift
  if "$@"; then
    echo "ok: $what"
  else
    echo "FAILED: $what" >&2
    failures=$((failures + 1))
  fi
}
contains() { grep -qF -- "$2" "$1"; }
lacks() { ! grep -qF -- "$2" "$1"; }
finish() {
  [ "$failures" = 0 ] && exit 0
  echo "$failures check(s) failed; the rig's output follows" >&2
  for f in "$work"/*.out "$work"/*.err; do [ -f "$f" ] && { echo "== $f" >&2; cat "$f" >&2; }; done
  exit 1
}
# Runs the rig, keeping its status in $status and its streams in $work/NAME.out and .err.
run_rig() {
  local name=$1
  shift
  "$@" >"$work/$name.out" 2>"$work/$name.err" </dev/null
  status=$?
}
skip_if_skipped() {
  if [ "$status" = 77 ]; then
    cat "$work/$1.err" >&2
    exit 77
  fi
}

case "$mode" in
host)
  run_rig noqemu env VEXRIG_QEMU=/nonexistent/qemu-system-x86_64 CI=true "$rig" -- true
  expect "a missing QEMU skips, also in CI (status $status)" [ "$status" = 77 ]
  expect "... and says why" contains "$work/noqemu.err" "QEMU (/nonexistent/qemu-system-x86_64) is not installed"

  run_rig nocommand "$rig"
  expect "no command is a usage error (status $status)" [ "$status" = 2 ]
  run_rig baduser "$rig" --user 'no such user' -- true
  expect "a user name with spaces is refused (status $status)" [ "$status" = 2 ]
  run_rig rootuser "$rig" --user root -- true
  expect "--user root is refused (status $status)" [ "$status" = 2 ]

  run_rig novexsim env VEXRIG_VEXSIM=/nonexistent/vexsim "$rig" -- true
  expect "a simulator that is not built fails the rig (status $status)" [ "$status" = 125 ]
  expect "... and says why" contains "$work/novexsim.err" "/nonexistent/vexsim is not built"

  # An apt that knows no kernel packages: preparing an empty cache fails. (Without QEMU the rig
  # stops before it looks at the cache.)
  if ! command -v "${VEXRIG_QEMU:-qemu-system-x86_64}" >/dev/null 2>&1; then
    echo "note: no QEMU here, so the cache checks do not apply"
    finish
  fi
  mkdir -p "$work/bin" "$work/cache"
  printf '#!/bin/sh\nexit 100\n' >"$work/bin/apt-get"
  printf '#!/bin/sh\nexit 0\n' >"$work/bin/apt-cache"
  chmod +x "$work/bin/apt-get" "$work/bin/apt-cache"
  run_rig prepci env VEXRIG_CAMERAS=0 PATH="$work/bin:$PATH" XDG_CACHE_HOME="$work/cache" CI=true "$rig" -- true
  expect "in CI a cache that cannot be prepared fails (status $status)" [ "$status" = 125 ]
  expect "... and says why" contains "$work/prepci.err" "no linux-kbuild-6.1"
  run_rig prepdev env -u CI VEXRIG_CAMERAS=0 PATH="$work/bin:$PATH" XDG_CACHE_HOME="$work/cache" "$rig" -- true
  expect "elsewhere it skips (status $status)" [ "$status" = 77 ]
  expect "the failed attempt leaves no cache entry" sh -c "! ls -d '$work'/cache/vexsdk-rig/linux-* 2>/dev/null"
  finish
  ;;
root)
  cd "$work" || exit 1
  echo 'from the host' >host-file
  marker=$(mktemp "${TMPDIR:-/tmp}/rig-host-marker.XXXXXX")
  release=$(sed -n 's/^KERNEL_ABI=//p' "$rig")-amd64
  run_rig root env VEXSDK_SIM=/nonexistent/vexsim.sock RIG_CALLER_VALUE='a value with  spaces' \
    RIG_EXPECT_RELEASE="$release" RIG_EXPECT_CWD="$work" RIG_HOST_MARKER="$marker" \
    "$rig" -- "$here/guest_checks.sh" root 'an argument with  spaces' ''
  rm -f "$marker"
  skip_if_skipped root
  expect "COMMAND's status is the rig's (status $status)" [ "$status" = 42 ]
  expect "every check in the guest held" lacks "$work/root.err" "guest-checks: FAILED"
  expect "COMMAND's standard output arrives on standard output" contains "$work/root.out" "guest-checks: ok: runs as root"
  expect "COMMAND's standard error arrives on standard error" contains "$work/root.err" "guest-checks: a line on standard error"
  expect "... and not on standard output" lacks "$work/root.out" "a line on standard error"
  expect "standard output has no carriage returns" sh -c "! grep -q $'\r' '$work/root.out'"
  expect "a failed COMMAND prints the guest's kernel log" contains "$work/root.err" "Linux version $release"
  expect "the guest wrote into the current folder" [ "$(cat "$work/guest-file" 2>/dev/null)" = 'from the guest' ]
  finish
  ;;
user)
  cd "$work" || exit 1
  release=$(sed -n 's/^KERNEL_ABI=//p' "$rig")-amd64
  run_rig user env RIG_CALLER_VALUE='a value with  spaces' RIG_EXPECT_RELEASE="$release" \
    RIG_EXPECT_CWD="$work" "$rig" --user vexrigtest -- "$here/guest_checks.sh" user
  skip_if_skipped user
  expect "the checks as the rig's user passed (status $status)" [ "$status" = 0 ]
  expect "every check in the guest held" lacks "$work/user.err" "guest-checks: FAILED"
  expect "a COMMAND that succeeds prints no kernel log" lacks "$work/user.err" "kernel log"

  # A simulator that dies before its cameras are ready fails the rig, with the guest's logs.
  printf '#!/bin/sh\necho "vexsim stand-in: giving up" >&2\nexit 3\n' >"$work/dying-vexsim"
  chmod +x "$work/dying-vexsim"
  run_rig dying env VEXRIG_VEXSIM="$work/dying-vexsim" "$rig" -- true
  expect "a simulator that exits early fails the rig (status $status)" [ "$status" = 125 ]
  expect "... and says why" contains "$work/dying.err" "vexsim exited with status 3 before its cameras were ready"
  expect "... with the simulator's output" contains "$work/dying.err" "vexsim stand-in: giving up"
  expect "... and the kernel log" contains "$work/dying.err" "Linux version $release"

  # A guest that overruns its time is killed (3 s: less than a boot under emulation, and
  # KVM gets stuck in the sleep).
  run_rig hung env VEXRIG_CAMERAS=0 VEXRIG_TIMEOUT=3 "$rig" -- sleep 600
  expect "a guest over its time limit fails the rig (status $status)" [ "$status" = 125 ]
  expect "... and says why" contains "$work/hung.err" "did not finish within 3 s"
  finish
  ;;
esac
echo "usage: rig_selftest.sh host|root|user RIG" >&2
exit 2
