#!/usr/bin/env bash
# Runs a command in a fresh Debian 12 minimal system, as a new user's machine
# would have it: a debootstrap --variant=minbase bookworm root with nothing
# but git and make added, a clean clone of the committed HEAD in /root/project,
# and an empty environment (no LANG, no JAVA_HOME), with this machine's
# registry set-up (CA certificates, Maven's settings). Needs root.
#
# usage: scripts/fresh-debian.sh [COMMAND]      (default: make demo && make test)
#
# The bare root is made once and kept in $VRXCHDET_FRESH_ROOT (default
# /var/tmp/vrxchdet-bookworm); each run works in a copy of it, so nothing a run
# installs is ever there for the next. Downloaded packages are kept in
# $VRXCHDET_FRESH_APT_CACHE, which only saves downloading them again.
set -euo pipefail
command=${*:-make demo && make test}
project=$(git -C "$(dirname "$0")" rev-parse --show-toplevel)
bare=${VRXCHDET_FRESH_ROOT:-/var/tmp/vrxchdet-bookworm}
run=$bare-run
apt_cache=${VRXCHDET_FRESH_APT_CACHE:-/var/cache/vrxchdet-fresh-apt}

if [ "$(id -u)" -ne 0 ]; then
  echo "fresh-debian.sh needs root (debootstrap, chroot, mount)" >&2
  exit 1
fi

# The mirror this machine's apt uses, so that the root reaches the same archive.
mirror() {
  grep -h -E '^(URIs:|deb )' /etc/apt/sources.list.d/*.sources /etc/apt/sources.list 2>/dev/null \
    | grep -o -E 'https?://[^ ]+' | grep -v security | head -n 1
}

make_bare_root() {
  if ! command -v debootstrap >/dev/null; then
    # shellcheck source=scripts/apt-retry.sh
    source "$project/scripts/apt-retry.sh"
    apt_install debootstrap >/dev/null
  fi
  local log=/tmp/vrxchdet-debootstrap.log
  echo "making a bare Debian 12 root in $bare (debootstrap, a few minutes; log in $log)"
  rm -rf "$bare"
  debootstrap --variant=minbase --include=ca-certificates,git,make bookworm "$bare" "$(mirror)" >"$log" 2>&1 \
    || { tail -n 20 "$log"; rm -rf "$bare"; exit 1; }
  if ls /etc/apt/sources.list.d/*.sources >/dev/null 2>&1; then
    cp /etc/apt/sources.list.d/*.sources "$bare/etc/apt/sources.list.d/"
    rm -f "$bare/etc/apt/sources.list"
  fi
  touch "$bare/.vrxchdet-bare"
}

# A root counts as bare only if it was finished and holds none of the project's packages.
if [ ! -f "$bare/.vrxchdet-bare" ] || [ -e "$bare/usr/bin/cmake" ] || [ -e "$bare/usr/bin/javac" ]; then
  make_bare_root
fi

# The registry set-up of this machine, as a new machine of its kind has it:
# its extra CA certificates (Java's trust store is made from them when the JDK
# is installed) and Maven's settings (a mirror or proxy, where it has one).
copy_registry_setup() {
  if ls /usr/local/share/ca-certificates/*.crt >/dev/null 2>&1; then
    mkdir -p "$run/usr/local/share/ca-certificates"
    cp /usr/local/share/ca-certificates/*.crt "$run/usr/local/share/ca-certificates/"
    chroot "$run" update-ca-certificates >/dev/null 2>&1 || true
  fi
  mkdir -p "$run/root/.m2"
  if [ -f "$HOME/.m2/settings.xml" ]; then
    cp "$HOME/.m2/settings.xml" "$run/root/.m2/settings.xml"
  elif [ -f /etc/maven/settings.xml ] \
       && perl -0777 -pe 's/<!--.*?-->//gs' /etc/maven/settings.xml | grep -q -E '<(mirror|proxy)>'; then
    cp /etc/maven/settings.xml "$run/root/.m2/settings.xml"
  fi
  if [ -f "$HOME/.mavenrc" ]; then cp "$HOME/.mavenrc" "$run/root/.mavenrc"; fi
  if [ -f /etc/mavenrc ]; then cp /etc/mavenrc "$run/etc/mavenrc"; fi
}

# A run must leave nothing running; whatever it left is named, then stopped.
stop_processes_inside() {
  local pid
  for pid in $(ls /proc | grep -E '^[0-9]+$'); do
    if [ "$(readlink "/proc/$pid/root" 2>/dev/null)" = "$run" ]; then
      echo "left running: $pid $(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null)" >&2
      kill -9 "$pid" 2>/dev/null || true
    fi
  done
}
unmount_all() {
  local m
  for m in var/cache/apt/archives dev/pts dev sys proc; do
    mountpoint -q "$run/$m" && umount -l "$run/$m" || true
  done
}
cleanup() {
  stop_processes_inside
  unmount_all
}

[ -d "$run" ] && { cleanup; rm -rf "$run"; }
cp -a "$bare" "$run"
cp /etc/resolv.conf "$run/etc/resolv.conf" 2>/dev/null || true
copy_registry_setup
git clone -q "$project" "$run/root/project"
git -C "$run/root/project" checkout -q "$(git -C "$project" rev-parse HEAD)"
mkdir -p "$apt_cache/partial"
trap cleanup EXIT
mount --bind /proc "$run/proc"
mount --bind /sys "$run/sys"
mount --bind /dev "$run/dev"
mount --bind /dev/pts "$run/dev/pts"
mount --bind "$apt_cache" "$run/var/cache/apt/archives"

# The tests install 32-bit packages (Wine's) beside 64-bit ones, which must
# come from the same suites: with the architecture known from the root's first
# update, a security suite broken for either is left out of every install.
chroot "$run" /usr/bin/dpkg --add-architecture i386

echo "fresh Debian 12 root $run, commit $(git -C "$project" rev-parse --short HEAD): $command"
start=$SECONDS
status=0
# The root is thrown away after the run: where the mirror's security suite is
# broken, its installs may take the release suite alone (scripts/apt-retry.sh).
# Maven's own environment passes through, as a machine's set-up may hold it.
maven_environment=()
for variable in MAVEN_OPTS MAVEN_ARGS; do
  if [ -n "${!variable:-}" ]; then maven_environment+=("$variable=${!variable}"); fi
done
chroot "$run" /usr/bin/env -i "${maven_environment[@]}" HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  TERM=dumb DEBIAN_FRONTEND=noninteractive VRXCHDET_APT_DROP_BROKEN_SECURITY=1 bash -c "cd /root/project && $command" || status=$?
echo "fresh Debian 12 root: exit status $status after $((SECONDS - start)) s"
exit "$status"
