#!/usr/bin/env bash
# Stops the Wine server of the prefix that VRXCHDET_WINEARCH chooses
# (scripts/wine-env.sh), and with it every process Wine started there, and
# waits until they have ended. Nothing to do when no server runs.
set -euo pipefail
# shellcheck source=scripts/wine-env.sh
source "$(dirname "$0")/wine-env.sh"
wineserver -k 2>/dev/null || true # fails when no server runs for the prefix
wineserver -w
