#!/usr/bin/env bash
# Tries the README's commands as a new user would: builds a minimal Debian 12 system
# (debootstrap --variant=minbase, from this machine's package sources, with only git, make and
# ca-certificates added), clones the committed tree into it and runs `make test` there.
# Nothing the development machine happens to have installed can hide a missing package.
#
#   scripts/fresh-machine-check.sh                  install, build, run the whole suite
#   scripts/fresh-machine-check.sh --configure-only install and configure only (CI, minutes)
#
# The base system is cached outside the clone (${XDG_CACHE_HOME:-~/.cache}/vexsdk-fresh, or
# VEX_FRESH_CACHE); each run works on a copy-on-write layer over it, so the cache stays
# fresh and runs never see each other. The suite runs in a network namespace of its own with
# only loopback up, so nothing on the host's loopback interferes with the tests' ports. Each
# stage prints its time; the exit status is the last command's (make test, or the configure).
# Needs root (mounts, chroot, namespaces); asks for sudo otherwise.
set -euo pipefail

usage() { echo "usage: $0 [--configure-only]" >&2; }
mode=test
case "${1:-}" in
  "") ;;
  --configure-only) mode=configure ;;
  --inner) ;;
  -h | --help) usage; exit 0 ;;
  *) usage; exit 2 ;;
esac

root=$(cd "$(dirname "$0")/.." && pwd)
cache=${VEX_FRESH_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/vexsdk-fresh}
suite=bookworm
start=$SECONDS
say() { echo "fresh-check: $*"; }
stage_done() { say "$1 took $(( SECONDS - $2 )) s"; }

if [ "${1:-}" != --inner ]; then
  if [ "$(id -u)" -ne 0 ]; then
    exec sudo --preserve-env=XDG_CACHE_HOME,VEX_FRESH_CACHE,CI "$0" "$@"
  fi
  missing=()
  command -v debootstrap >/dev/null || missing+=(debootstrap)
  command -v ip >/dev/null || missing+=(iproute2)
  command -v unshare >/dev/null || missing+=(util-linux)
  if [ ${#missing[@]} -gt 0 ]; then
    say "installing ${missing[*]} on this machine"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null \
      || { apt-get update -q >/dev/null && DEBIAN_FRONTEND=noninteractive \
             apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null; }
  fi
  commit=$(git -C "$root" rev-parse HEAD)
  if [ -n "$(git -C "$root" status --porcelain --untracked-files=no)" ]; then
    say "note: uncommitted changes are not part of the check (it clones $commit)"
  fi
  # A private mount namespace and a PID namespace of its own: every mount goes with it, and
  # every process the suite leaves behind is ended when this run ends.
  exec unshare --mount --propagation private --pid --fork \
    env VEX_FRESH_MODE="$mode" VEX_FRESH_COMMIT="$commit" "$0" --inner
fi

mode=$VEX_FRESH_MODE
commit=$VEX_FRESH_COMMIT
mkdir -p "$cache"
base="$cache/base-$suite"
logs="$cache/logs"
mkdir -p "$logs"

# The Debian archive this machine installs from (deb822 or one-line sources).
mirror() {
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk -v suite="$suite" '
      /^[[:space:]]*$/ { if (uri != "" && has) { print uri; exit } uri = ""; has = 0; next }
      tolower($1) == "uris:" { uri = $2 }
      tolower($1) == "suites:" { for (i = 2; i <= NF; i++) if ($i == suite) has = 1 }
      END { if (uri != "" && has) print uri }' "$f"
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    awk -v suite="$suite" '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { if ($(i+1) == suite) print $i; break } }' "$f"
  done
}
url=$(mirror | head -n1)
[ -n "$url" ] || { say "no source for Debian $suite found in /etc/apt"; exit 1; }

# Stage 1: the minimal system, built once into the cache (a lock keeps concurrent first runs
# from building it twice; a half-built one is never used).
t=$SECONDS
exec 9>"$cache/lock"
flock 9
if [ ! -f "$base/.complete" ]; then
  rm -rf "$base.partial"
  say "building a minimal $suite system from $url"
  if ! debootstrap --variant=minbase --include=git,make,ca-certificates "$suite" "$base.partial" "$url" \
      >"$logs/debootstrap.log" 2>&1; then
    tail -n 30 "$logs/debootstrap.log"
    say "debootstrap failed (log: $logs/debootstrap.log)"
    exit 1
  fi
  rm -rf "$base"
  mv "$base.partial" "$base"
  touch "$base/.complete"
  stage_done "debootstrap" "$t"
else
  say "minimal $suite system from the cache ($base)"
fi
flock -u 9

# A copy-on-write layer over the base for this run.
run=$(mktemp -d "$cache/run.XXXXXX")
cleanup() {
  umount -R -l "$run/root" 2>/dev/null || true
  rm -rf "$run"
}
trap cleanup EXIT
mkdir -p "$run/upper" "$run/work" "$run/root"
mount -t overlay overlay -o "lowerdir=$base,upperdir=$run/upper,workdir=$run/work" "$run/root"
sys="$run/root"

# This machine's Debian sources and download settings (a snapshot mirror, for instance, needs
# its Release files' dates left unchecked), not the other vendors' sources it may list.
rm -f "$sys/etc/apt/sources.list"
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.sources /etc/apt/sources.list.d/*.list; do
  [ -f "$f" ] || continue
  if ! grep -qi 'signed-by' "$f" || grep -qi 'signed-by:[[:space:]]*/usr/share/keyrings/debian-archive-keyring.gpg' "$f"; then
    if grep -Eq 'debian(-security)?/?([[:space:]]|$)' "$f"; then
      mkdir -p "$sys/etc/apt/sources.list.d"
      cp "$f" "$sys/etc/apt/sources.list.d/$(basename "$f")"
    fi
  fi
done
for f in /etc/apt/apt.conf.d/*; do
  [ -f "$f" ] && grep -q '^Acquire::' "$f" && cp "$f" "$sys/etc/apt/apt.conf.d/"
done
cp /etc/resolv.conf "$sys/etc/resolv.conf" 2>/dev/null || true
printf '127.0.0.1\tlocalhost\n::1\t\tlocalhost ip6-localhost ip6-loopback\n' >"$sys/etc/hosts"

mount -t proc proc "$sys/proc"
mount -t sysfs sysfs "$sys/sys"
mount --rbind /dev "$sys/dev"
mount -t tmpfs -o mode=1777 tmpfs "$sys/dev/shm"
mount -t tmpfs -o mode=1777 tmpfs "$sys/tmp"
mount -t tmpfs -o mode=755 tmpfs "$sys/run"

# Stage 2: the committed tree, cloned as a user would clone it.
t=$SECONDS
git clone -q "file://$root" "$sys/src"
git -C "$sys/src" checkout -q "$commit"
stage_done "clone of $commit" "$t"

in_system() {
  chroot "$sys" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    HOME=/root LANG=C.UTF-8 TERM=dumb CI="${CI:-}" /bin/bash -c "cd /src && $1"
}
# Runs one stage with its output in a log; on failure prints the log's end and exits.
stage() {
  local name=$1 command=$2 log="$logs/$3.log" t=$SECONDS status=0
  say "$name: $command"
  "${runner[@]}" in_system "$command" >"$log" 2>&1 || status=$?
  stage_done "$name" "$t"
  if [ "$status" -ne 0 ]; then
    tail -n 60 "$log"
    say "$name failed with status $status (log: $log; $(( SECONDS - start )) s in all)"
    exit "$status"
  fi
}

# Stage 3: the install script, with the network (the suite later runs without it).
runner=()
stage "install" "./scripts/install-deps.sh" install

if [ "$mode" = configure ]; then
  stage "configure" "make configure" configure
  say "passed: the install script and the configure step ($(( SECONDS - start )) s in all)"
  exit 0
fi

# Stage 4 and 5: the README's command, in a network namespace with only loopback up.
isolated() { unshare --net /bin/bash -c 'ip link set lo up && "$@"' isolated "$@"; }
export -f in_system
export sys
runner=(isolated)
stage "build" "make build" build
t=$SECONDS
status=0
say "test: make test"
"${runner[@]}" in_system "make test" >"$logs/test.log" 2>&1 || status=$?
stage_done "test" "$t"
sed -n '/tests passed\|tests failed/,$p' "$logs/test.log" | head -n 40
say "make test ended with status $status (log: $logs/test.log; $(( SECONDS - start )) s in all)"
exit "$status"
