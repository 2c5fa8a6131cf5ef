#!/usr/bin/env bash
# Makes 32-bit and 64-bit Windows programs run under Wine, for the tests of
# the Windows DLLs; does only what is not done yet, so it can run before every
# test run.
#  1. Debian's wine with its 64-bit part (wine64), which runs natively, and its
#     32-bit part (wine32:i386) and preloader, and i386 added to dpkg. Without
#     the preloader every 32-bit Wine process reserves its address space by
#     itself, probing the upper 2 GB in 64 KB steps; qemu-user 7.2 grants none
#     of it and takes about 50 s per process, with the preloader a process
#     starts in a second.
#  2. Where the kernel cannot run 32-bit x86 programs itself, qemu's user-mode
#     emulator registered with binfmt_misc for them.
#  3. The Wine prefixes of scripts/wine-env.sh for the architectures given
#     (win32, win64; both by default), each created once, so that the first
#     test run does not wait for it.
#
# usage: setup-wine.sh [win32] [win64]
set -euo pipefail
cd "$(dirname "$0")/.."
SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "adding the i386 architecture to dpkg"
  $SUDO dpkg --add-architecture i386
fi
# install-deps.sh fetches the i386 indexes with its apt-get update, retried
# while the mirror is being synced (scripts/apt-retry.sh).
scripts/install-deps.sh wine wine64 wine32:i386 wine32-preloader:i386

runs_32bit() { /lib/ld-linux.so.2 --version >/dev/null 2>&1; }
binfmt=/proc/sys/fs/binfmt_misc
if ! runs_32bit; then
  scripts/install-deps.sh qemu-user-static
  if [ ! -e "$binfmt/register" ]; then
    $SUDO mount -t binfmt_misc binfmt_misc "$binfmt"
  fi
  if [ ! -e "$binfmt/qemu-i386" ]; then
    echo "registering qemu-i386-static for 32-bit x86 programs"
    # Matches 32-bit little-endian x86 ELF executables and shared objects;
    # F opens the emulator now, so that it works inside other mount namespaces.
    magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
    mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    echo ":qemu-i386:M::$magic:$mask:/usr/bin/qemu-i386-static:F" | $SUDO tee "$binfmt/register" >/dev/null
  fi
  runs_32bit || { echo "32-bit x86 programs still do not run" >&2; exit 1; }
fi

# Each attempt at making a prefix is watched (scripts/wine-watch.sh): a dead
# server or an attempt longer than attempt_seconds ends its processes, and
# the prefix is made again from scratch.
# shellcheck source=scripts/wine-watch.sh
source scripts/wine-watch.sh
attempt_seconds=${VRXCHDET_WINE_ATTEMPT_SECONDS:-240}
attempts=3

prefix_complete() {
  [ -f "$WINEPREFIX/drive_c/windows/system32/kernel32.dll" ] && [ -f "$WINEPREFIX/system.reg" ]
}

# One attempt at making the prefix: wineboot --init, then every process it
# started, the server included, until they have all ended.
boot_prefix() {
  local marker="$$-$1-$RANDOM" boot
  VRXCHDET_WINE_ATTEMPT=$marker "$wine_loader" wineboot --init &
  boot=$!
  watch_attempt "$marker" "$boot" "$attempt_seconds" "wineboot --init and what it started" all
  case $watch_outcome in
    # Leftovers after a wineboot that finished do no harm to a complete prefix.
    serverless) prefix_complete ;;
    timeout) return 1 ;;
    *) [ "$watch_status" -eq 0 ] || echo "wineboot --init ended with status $watch_status" >&2
       prefix_complete ;;
  esac
}

make_prefix() {
  VRXCHDET_WINEARCH=$1
  # shellcheck source=scripts/wine-env.sh
  source scripts/wine-env.sh
  ready="$WINEPREFIX/.vrxchdet-ready"
  [ -f "$ready" ] && return 0
  echo "creating the $WINEARCH Wine prefix $WINEPREFIX (each attempt bounded to $attempt_seconds s)"
  start=$(date +%s)
  for attempt in $(seq "$attempts"); do
    # Under emulation the first process may give up waiting for the prefix
    # before the prefix is made ("could not load kernel32.dll"), and some of
    # Wine's own processes crash now and then: the system DLLs and the
    # registry show whether the making got to its end.
    boot_prefix "$attempt" && break
    echo "the Wine prefix $WINEPREFIX was not completed (attempt $attempt of $attempts)" >&2
    [ "$attempt" -eq "$attempts" ] && exit 1
    rm -rf "$WINEPREFIX"
  done
  echo "Wine prefix created in $(($(date +%s) - start)) s"
  touch "$ready"
}
architectures=("$@")
[ ${#architectures[@]} -eq 0 ] && architectures=(win32 win64)
for arch in "${architectures[@]}"; do
  (make_prefix "$arch")
done
