#!/usr/bin/env bash
# Makes 32-bit Windows programs run under Wine, for the tests of the Windows
# DLL; does only what is not done yet, so it can run before every test run.
#  1. Debian's wine with its 32-bit part (wine32:i386), and i386 added to dpkg.
#  2. Where the kernel cannot run 32-bit x86 programs itself, qemu's user-mode
#     emulator registered with binfmt_misc for them.
#  3. The Wine prefix of scripts/wine-env.sh, created once. Under emulation
#     this takes minutes, so it happens here rather than in the first test.
set -euo pipefail
cd "$(dirname "$0")/.."
SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "adding the i386 architecture to dpkg"
  $SUDO dpkg --add-architecture i386
  $SUDO apt-get update -q
fi
scripts/install-deps.sh wine wine32:i386

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

# shellcheck source=scripts/wine-env.sh
source scripts/wine-env.sh
ready="$WINEPREFIX/.vrxchdet-ready"
if [ ! -f "$ready" ]; then
  echo "creating the Wine prefix $WINEPREFIX (minutes under emulation)"
  start=$(date +%s)
  # Under emulation the first process may give up waiting for the prefix
  # before the prefix is made ("could not load kernel32.dll"); the making
  # goes on all the same, and wineserver --wait waits for it to end.
  timeout 1800 wineboot --init || true
  timeout 1800 wineserver --wait
  if [ ! -f "$WINEPREFIX/drive_c/windows/system32/kernel32.dll" ]; then
    echo "the Wine prefix $WINEPREFIX was not completed" >&2
    exit 1
  fi
  echo "Wine prefix created in $(($(date +%s) - start)) s"
  touch "$ready"
fi
