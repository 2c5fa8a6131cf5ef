#!/usr/bin/env bash
# Runs a Windows test program under Wine, in the prefix that VRXCHDET_WINEARCH
# chooses (scripts/wine-env.sh), in the program's directory, with its
# standard output sent to PROGRAM.stdout there, whose name it is given as its
# argument. Exits with the program's status.
#
# Under emulation Wine's server can die during a run and leave the program
# waiting for it for ever: each of up to three attempts is watched
# (scripts/wine-watch.sh) and bounded to VRXCHDET_WINE_TEST_SECONDS (180 s),
# and one whose server died or that ran out of time is ended and run again.
#
# usage: run-under-wine.sh PROGRAM.exe
set -euo pipefail
program=$(realpath "$1")
scripts=$(dirname "$(realpath "$0")")
# shellcheck source=scripts/wine-env.sh
source "$scripts/wine-env.sh"
# shellcheck source=scripts/wine-watch.sh
source "$scripts/wine-watch.sh"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "no Wine prefix at $WINEPREFIX; run scripts/setup-wine.sh first" >&2
  exit 1
fi
cd "$(dirname "$program")"
name=$(basename "$program")
stdout_file="$(basename "$program" .exe).stdout"
attempts=3
for attempt in $(seq "$attempts"); do
  # A server of an earlier run would not carry this attempt's marker.
  wineserver -k 2>/dev/null || true
  wineserver -w
  marker="$$-$attempt-$RANDOM"
  # shellcheck disable=SC2094 # the program reads back what it writes there
  VRXCHDET_WINE_ATTEMPT=$marker "$wine_loader" "$name" "$stdout_file" >"$stdout_file" &
  watch_attempt "$marker" $! "${VRXCHDET_WINE_TEST_SECONDS:-180}" "$name"
  [ "$watch_outcome" = ended ] && exit "$watch_status"
  echo "$name under Wine: attempt $attempt of $attempts ended ($watch_outcome)" >&2
done
exit 1
