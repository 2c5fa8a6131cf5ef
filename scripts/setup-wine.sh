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

# Wine's server can die while the prefix is being made under emulation; its
# clients (wineboot and the processes it started) then wait in pipe reads for
# ever. So each attempt is watched: its processes carry a marker in their
# environment, a dead server (clients but no server for server_grace seconds)
# or an attempt longer than attempt_seconds ends them all, and the prefix is
# made again from scratch.
attempt_seconds=${VRXCHDET_WINE_ATTEMPT_SECONDS:-240}
server_grace=10
attempts=3

# The processes of the attempt with the given marker.
attempt_pids() {
  grep -lzx "VRXCHDET_WINE_ATTEMPT=$1" /proc/[0-9]*/environ 2>/dev/null | cut -d/ -f3 || true
}

# The program names of the given processes (under qemu, the emulated program's).
process_names() {
  local pid words
  for pid in "$@"; do
    # Skips the emulator, Wine's preloader and loader, and options, to the program.
    words=$(tr '\0' '\n' 2>/dev/null < "/proc/$pid/cmdline" | grep -vE '^-|qemu|preloader$|/wine(64)?$' | head -n 1) || true
    [ -z "$words" ] || printf '%s ' "$(basename "${words//\\//}")"
  done
}

end_attempt() {
  local marker=$1 pids round
  for _ in 1 2 3 4 5 6 7 8 9 10; do
    pids=$(attempt_pids "$marker")
    [ -z "$pids" ] && return 0
    # shellcheck disable=SC2086
    kill -9 $pids 2>/dev/null || true
    sleep 1
  done
  echo "processes of the attempt still there after 10 s: $(attempt_pids "$marker")" >&2
}

prefix_complete() {
  [ -f "$WINEPREFIX/drive_c/windows/system32/kernel32.dll" ] && [ -f "$WINEPREFIX/system.reg" ]
}

# One attempt at making the prefix: wineboot --init, then every process it
# started, the server included, until they have all ended.
boot_prefix() {
  local marker="$$-$1-$RANDOM" start elapsed pids names boot serverless=0 reported=0
  VRXCHDET_WINE_ATTEMPT=$marker "$wine_loader" wineboot --init &
  boot=$!
  start=$(date +%s)
  while :; do
    sleep 1
    elapsed=$(($(date +%s) - start))
    pids=$(attempt_pids "$marker")
    [ -z "$pids" ] && ! kill -0 "$boot" 2>/dev/null && break
    # shellcheck disable=SC2086
    names=$(process_names $pids)
    if [[ " $names" == *" wineserver"* ]]; then
      serverless=0
    else
      serverless=$((serverless + 1))
    fi
    if [ "$serverless" -ge "$server_grace" ]; then
      echo "Wine's server is gone while these wait for it: $names; ending them" >&2
      end_attempt "$marker"
      wait "$boot" 2>/dev/null || true
      # Leftovers after a wineboot that finished do no harm to a complete prefix.
      prefix_complete
      return
    fi
    if [ "$elapsed" -ge "$attempt_seconds" ]; then
      echo "the Wine prefix was not made within $attempt_seconds s; still running: $names; ending them" >&2
      end_attempt "$marker"
      wait "$boot" 2>/dev/null || true
      return 1
    fi
    if [ $((elapsed - reported)) -ge 15 ]; then
      echo "  waiting ${elapsed} s for wineboot --init and what it started to end: $names"
      reported=$elapsed
    fi
  done
  wait "$boot" || echo "wineboot --init ended with status $?" >&2
  prefix_complete
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
