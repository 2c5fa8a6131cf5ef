#!/usr/bin/env bash
# Runs a Windows test program under Wine, in the prefix that VRXCHDET_WINEARCH
# chooses (scripts/wine-env.sh), in the program's directory, with its
# standard output sent to PROGRAM.stdout there, whose name it is given as its
# argument. Exits with the program's status.
#
# usage: run-under-wine.sh PROGRAM.exe
set -euo pipefail
program=$(realpath "$1")
# shellcheck source=scripts/wine-env.sh
source "$(dirname "$0")/wine-env.sh"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "no Wine prefix at $WINEPREFIX; run scripts/setup-wine.sh first" >&2
  exit 1
fi
cd "$(dirname "$program")"
stdout_file="$(basename "$program" .exe).stdout"
# shellcheck disable=SC2094 # the program reads back what it writes there
exec "$wine_loader" "$(basename "$program")" "$stdout_file" >"$stdout_file"
