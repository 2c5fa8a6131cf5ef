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
  $SUDO apt-get update -q
fi
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

make_prefix() {
  VRXCHDET_WINEARCH=$1
  # shellcheck source=scripts/wine-env.sh
  source scripts/wine-env.sh
  ready="$WINEPREFIX/.vrxchdet-ready"
  [ -f "$ready" ] && return 0
  echo "creating the $WINEARCH Wine prefix $WINEPREFIX"
  start=$(date +%s)
  for attempt in 1 2; do
    # Under emulation the first process may give up waiting for the prefix
    # before the prefix is made ("could not load kernel32.dll"), and some of
    # Wine's own processes crash now and then; wineserver --wait waits for
    # the making to end, and the system DLLs show whether it got that far.
    timeout 900 "$wine_loader" wineboot --init || true
    timeout 900 wineserver --wait || true
    [ -f "$WINEPREFIX/drive_c/windows/system32/kernel32.dll" ] && break
    echo "the Wine prefix $WINEPREFIX was not completed (attempt $attempt)" >&2
    [ "$attempt" -eq 2 ] && exit 1
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
